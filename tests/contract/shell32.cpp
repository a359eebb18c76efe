// shell32: the Program Files folder.
#include "tests/contract/arrange.h"

// CSIDL page: CSIDL_PROGRAM_FILES "The Program Files folder. A typical path is
// C:\Program Files"; KNOWNFOLDERID page, FOLDERID_ProgramFiles: its default is
// %SystemDrive%\Program Files, while "Program Files (x86)" is the folder of
// 32-bit programs. The whole path's length varies with the machine.
FACT(ProgramFilesOfA64BitProcessIsTheNativeFolder, kAlsoWine, "CSIDL and KNOWNFOLDERID pages")
{
    static_assert(sizeof(void *) == 8, "the service is a 64-bit process");
    WCHAR path[MAX_PATH];
    REQUIRE(SHGetSpecialFolderPathW(NULL, path, CSIDL_PROGRAM_FILES, FALSE));
    std::wstring folder = path, tail = L"\\Program Files";
    CHECK(folder.size() > tail.size() && folder[1] == L':' && folder[2] == L'\\');
    CHECK(folder.size() > tail.size() && contract::SameText(folder.substr(folder.size() - tail.size()), tail));
}
