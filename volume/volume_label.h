// The volume label as FAT and exFAT hold it: the 11-byte name field of a FAT label entry (and of
// the boot sector), in the OEM code page, and exFAT's UTF-16 label entry.
#pragma once

#include <cstdint>
#include <string>

#include "base/code_page.h"

namespace brc {

constexpr size_t kFatLabelBytes = 11;
constexpr uint32_t kExFatLabelUnits = 11;

// A first name byte of E5h marks a deleted directory entry, so a name that starts with E5h is
// stored with 05h there. In place, on the 11 bytes of a name.
void storeFatNameLead(uint8_t* name);
void loadFatNameLead(uint8_t* name);

// Where the label in a name field ends: at its trailing blanks, or also at a first 00h byte
// (as the systems' drivers read it).
enum class FatLabelEnd { Blanks, NulOrBlanks };

// The label a FAT label entry's name holds (05h read as E5h, padding dropped), decoded through
// `oem`; empty for a name of blanks only.
std::u16string decodeFatLabel(const uint8_t* name, const CodePage& oem,
                              FatLabelEnd end = FatLabelEnd::NulOrBlanks);

// The label as the 11 bytes of a FAT name field (blank-padded, E5h left as it is), or false when
// it cannot be one: a-z are upper-cased; longer than 11 bytes, a control character, one of
// "*+,./:;<=>?[\]| or a character the code page lacks refuse it.
bool encodeFatLabel(const std::u16string& label, const CodePage& oem, std::string& out);

// Whether an exFAT label may hold `label`: at most 11 UTF-16 units, none of "*/:<>?\| or a
// control character.
bool isValidExFatLabel(const std::u16string& label);

// The label an exFAT volume-label entry holds: its first CharacterCount units, at most 11.
std::u16string decodeExFatLabel(const uint8_t* entry);

} // namespace brc
