// Copying files into and out of the folder of a confined process: a process that may
// reach only its own folder is handed copies of its inputs and leaves its outputs there
// for us to move to where they belong.
//
// Both functions throw OsError (with the path concerned) and leave no partial file behind.
#pragma once

#include <string>

#include "platform/os_error.h"

namespace docmill::platform {

// Copies the regular file `from` (links followed) into the new file `to`, created
// exclusively with mode 0600. Anything but a regular file (a folder, a device, a pipe that
// would never end) fails with EINVAL.
void copyFile(const std::string& from, const std::string& to);

// Moves the file `from` to `to`, replacing what is there: a rename where both are on one
// file system, else a copy into a new file beside `to` (made as any new file of this
// process is) renamed over it, and `from` removed. A character device, pipe or socket at
// `to` is written into instead, never replaced, and so is one reached through a link that
// root or this user made (/dev/stdout); any other link at `to` is replaced, never followed.
// A disk (block device) at `to` fails with EINVAL.
void moveFile(const std::string& from, const std::string& to);

}  // namespace docmill::platform
