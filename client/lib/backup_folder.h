// The backup folder a user gives the client: the driver copies into it but
// never makes it (a missing folder means no copy, and nobody is told), so the
// client checks it before it hands it over and makes it when it is missing.
#pragma once

#include "client/lib/client.h"

#include <string>
#include <string_view>

namespace vetrona::client {

// Checks `folder` ("C:\Backup" or an NT path) on the machine the driver runs
// on and makes it, with any missing parents, when it is not there. True when
// the folder is there now; *message then says whether it was made (empty when
// it existed). False when it is a file or cannot be made; *message says why.
// `shown` is the folder as the user wrote it, for the messages.
bool PrepareBackupFolder(Client& client, std::u16string_view folder, const std::string& shown, std::string* message);

}  // namespace vetrona::client
