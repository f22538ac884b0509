// Registry text files (.reg) as the registry editor reads and writes them.
//
// Import accepts UTF-16LE with a byte-order mark (the editor's default),
// UTF-8 with or without one, CRLF or LF line ends, and both headers:
// "Windows Registry Editor Version 5.00" and "REGEDIT4" (whose text is taken
// as Latin-1 and whose hex(2)/hex(7) bytes are 8-bit characters, widened to
// UTF-16 on import). Key lines may name HKEY_LOCAL_MACHINE (HKLM), mapped to
// \Registry\Machine, or HKEY_USERS (HKU), mapped to \Registry\User; any other
// root is refused. The whole file is parsed before anything is applied, so a
// malformed file leaves the registry as it was.
//
// Export writes the editor's Version 5.00 format byte for byte. The one
// departure is fidelity: a REG_SZ whose data is not a single NUL-terminated
// string (no terminator, an embedded NUL, a line break, an unpaired
// surrogate) is written as hex(1) rather than truncated, and a REG_DWORD
// whose data is not four bytes as hex(4), so that export and import round-trip
// every value exactly.
#pragma once

#include "hostkernel/hostkernel.h"

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

namespace hk {

// A malformed .reg file. what() reads "line 12: malformed hex data".
struct RegFileError : std::runtime_error {
    RegFileError(std::size_t line, const std::string& message);
    std::size_t line;  // 1-based line of the file
};

enum class RegTextEncoding {
    Utf16LeBom,  // the registry editor's default
    Utf8,        // without a byte-order mark
};

// What an import did, counted per line of the file.
struct RegImportSummary {
    std::size_t keys = 0;            // [key] sections
    std::size_t keys_deleted = 0;    // [-key] sections
    std::size_t values_set = 0;      // "name"=data lines
    std::size_t values_deleted = 0;  // "name"=- lines
};

// Parses a whole .reg file, then applies it. Throws RegFileError, naming the
// line, for anything malformed; nothing is applied then.
RegImportSummary ImportRegText(Registry& registry, std::string_view bytes);

// The key (an absolute path under \Registry\Machine or \Registry\User) and
// every key below it, depth first with subkeys in case-insensitive order,
// values in stored order. Throws std::invalid_argument when the key does not
// exist, lies outside those hives, or holds a name with a line break, and for
// UTF-8 when the text holds an unpaired surrogate (UTF-8 has no form for it).
std::string ExportRegText(const Registry& registry, std::u16string_view key_path,
                          RegTextEncoding encoding = RegTextEncoding::Utf16LeBom);

}  // namespace hk
