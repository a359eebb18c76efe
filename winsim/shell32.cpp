// shell32: the Program Files folder.
//
// Models: SHGetSpecialFolderPathW with CSIDL_PROGRAM_FILES, the 64-bit folder
// for a 64-bit process, into a buffer of MAX_PATH characters; FALSE, with no
// error code, for any other folder or a folder too long.
// Leaves out: every other folder, folder creation, per-user folders.
#include "winsim/core.h"

using namespace sim;
using namespace sim::core;

void sim::SetProgramFilesFolder(const std::wstring &folder)
{
    std::lock_guard<std::mutex> lock(mu);
    machine->programFiles = folder;
}

BOOL SHGetSpecialFolderPathW(HWND owner, LPWSTR path, int csidl, BOOL create)
{
    Entry e("SHGetSpecialFolderPathW", {{"hwnd", Handle(owner)}, {"csidl", Csidl(csidl)}, {"fCreate", Bool(create)}});
    const std::wstring &folder = machine->programFiles;
    if (e.Failed() || csidl != CSIDL_PROGRAM_FILES || path == nullptr || folder.size() >= MAX_PATH) {
        return FALSE;
    }
    wmemcpy(path, folder.c_str(), folder.size() + 1);
    return TRUE;
}
