// Every field a deviation names: the `field` of the check's JSON and the first column of its
// text, one list so that no two parts name one structure two ways.
#pragma once

namespace brc::problem {

constexpr const char kPartitionTable[] = "partitionTable";
constexpr const char kPartitionEntry[] = "partitionEntry";
constexpr const char kPartitionType[] = "partitionType";
constexpr const char kPartitionStart[] = "partitionStart";
constexpr const char kPartitionSectors[] = "partitionSectors";
constexpr const char kOtherEntries[] = "otherEntries";
constexpr const char kBootIndicator[] = "bootIndicator";
constexpr const char kStartChs[] = "startChs";
constexpr const char kEndChs[] = "endChs";
constexpr const char kGeometry[] = "geometry";
constexpr const char kHiddenSectors[] = "hiddenSectors";
constexpr const char kVolumeSectors[] = "volumeSectors";
constexpr const char kFsType[] = "fsType";
constexpr const char kSectorsPerCluster[] = "sectorsPerCluster";
constexpr const char kReservedSectors[] = "reservedSectors";
constexpr const char kNumberOfFats[] = "numberOfFats";
constexpr const char kRootEntries[] = "rootEntries";
constexpr const char kFatSectors[] = "fatSectors";
constexpr const char kSystemSectors[] = "systemSectors";
constexpr const char kDataAlignment[] = "dataAlignment";
constexpr const char kBootSignature[] = "bootSignature";
constexpr const char kMediaDescriptor[] = "mediaDescriptor";
constexpr const char kExtendedBootSignature[] = "extendedBootSignature";
constexpr const char kJumpBoot[] = "jumpBoot";
constexpr const char kMustBeZero[] = "mustBeZero";
constexpr const char kFileSystemRevision[] = "fileSystemRevision";
constexpr const char kBackupBootSector[] = "backupBootSector";
constexpr const char kFsInfo[] = "fsInfo";
constexpr const char kFsInfoFreeCount[] = "fsInfoFreeCount";
constexpr const char kFsInfoNextFree[] = "fsInfoNextFree";
constexpr const char kBootRegion[] = "bootRegion";
constexpr const char kBootChecksum[] = "bootChecksum";
constexpr const char kBackupBootRegion[] = "backupBootRegion";
constexpr const char kFlashParameters[] = "flashParameters";
constexpr const char kFatHead[] = "fatHead";
constexpr const char kFatCopies[] = "fatCopies";
constexpr const char kRootCluster[] = "rootCluster";
constexpr const char kRootDirectory[] = "rootDirectory";
constexpr const char kVolumeLabel[] = "volumeLabel";
constexpr const char kAllocationBitmap[] = "allocationBitmap";
constexpr const char kUpcaseTable[] = "upcaseTable";

} // namespace brc::problem
