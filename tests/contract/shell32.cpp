// shell32: the Program Files folder.
#include "tests/contract/arrange.h"

// CSIDL page: CSIDL_PROGRAM_FILES "The Program Files folder. A typical path is
// C:\Program Files"; KNOWNFOLDERID page, FOLDERID_ProgramFiles: a 64-bit
// process gets %SystemDrive%\Program Files, only a 32-bit one (x86) gets
// "Program Files (x86)".
FACT(ProgramFilesOfA64BitProcessIsTheNativeFolder, kAlsoWine, "CSIDL and KNOWNFOLDERID pages")
{
    static_assert(sizeof(void *) == 8, "the service is a 64-bit process");
    WCHAR path[MAX_PATH];
    REQUIRE(SHGetSpecialFolderPathW(NULL, path, CSIDL_PROGRAM_FILES, FALSE));
    std::wstring folder = path;
    CHECK(folder.size() == 16 && folder[1] == L':' && folder.substr(2) == L"\\Program Files");
}
