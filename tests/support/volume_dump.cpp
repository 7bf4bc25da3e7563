// Prints what the virtual-volume code reads from an image: where the volume lies, its type,
// label (as text and bytes), serial, file-system name and free space. The output comparison
// (tools/compare_outputs.sh) runs it over many images before and after a change.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "base/code_page.h"
#include "platform/virtual_volume.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: volume_dump IMAGE\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY);
    if (fd < 0) return 2;
    brc::CardSectors card;
    card.count = static_cast<uint64_t>(::lseek(fd, 0, SEEK_END)) / 512;
    card.read = [fd](uint64_t first, uint32_t n, uint8_t* data) {
        const size_t bytes = size_t{n} * 512;
        return ::pread(fd, data, bytes, static_cast<off_t>(first * 512)) ==
               static_cast<ssize_t>(bytes);
    };
    brc::VirtualVolumeLayout layout;
    const uint32_t located = brc::locateVirtualVolume(card, layout);
    std::printf("locate %u", located);
    if (located == 0)
        std::printf(" type %d first %llu sectors %llu bps %u spc %u clusters %u",
                    static_cast<int>(layout.type),
                    static_cast<unsigned long long>(layout.firstSector),
                    static_cast<unsigned long long>(layout.partitionSectors),
                    layout.bytesPerSector, layout.sectorsPerCluster, layout.clusterCount);
    std::printf("\n");
    brc::VolumeInfo info;
    const uint32_t informed = brc::virtualVolumeInformation(card, brc::cp437(), info);
    std::printf("info %u", informed);
    if (informed == 0) {
        std::printf(" fs %s serial %08X label [%s] units", brc::utf16ToUtf8(info.fileSystem).c_str(),
                    info.serial, brc::utf16ToUtf8(info.label).c_str());
        for (char16_t c : info.label) std::printf(" %04X", static_cast<unsigned>(c));
    }
    std::printf("\n");
    brc::ClusterSpace space;
    const uint32_t free = brc::virtualFreeSpace(card, space);
    std::printf("free %u", free);
    if (free == 0)
        std::printf(" spc %u bps %u free %u total %u", space.sectorsPerCluster, space.bytesPerSector,
                    space.freeClusters, space.totalClusters);
    std::printf("\n");
    ::close(fd);
    return 0;
}
