// Making sure the backup folder exists before the driver is given it.
#include "client/lib/backup_folder.h"

#include <cstdio>

namespace vetrona::client {

bool PrepareBackupFolder(Client& client, std::u16string_view folder, const std::string& shown, std::string* message) {
    message->clear();
    const std::u16string path(folder);
    FolderState state = FolderState::Missing;
    const HResult hr = client.transport().Folder(path.c_str(), true, &state);
    if (!Succeeded(hr)) {
        char code[16];
        std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(hr));
        *message = "the backup folder " + shown + " does not exist and could not be made (" + code +
                   "); the driver never makes one, so no copy could be made";
        return false;
    }
    switch (state) {
        case FolderState::Existed:
            return true;
        case FolderState::Created:
            *message = "made the backup folder " + shown + ", which did not exist (the driver never makes one)";
            return true;
        case FolderState::NotAFolder:
            *message = "the backup folder " + shown + " is a file, not a folder: no copy could be made there";
            return false;
        case FolderState::Missing:
            break;
    }
    *message = "the backup folder " + shown + " does not exist and was not made";
    return false;
}

}  // namespace vetrona::client
