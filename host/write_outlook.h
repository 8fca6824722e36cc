// Whether the plug-in could write a file, asked of Windows without writing:
// the folder, the read-only marks and the permissions of this user.
#pragma once

#include <string>

#include "messages.h"

enum WriteChance { CAN_WRITE, MAY_WRITE, CANNOT_WRITE };

struct WriteOutlook {
    WriteChance chance;
    MessageId why;  // CANNOT_WRITE: what stands in the way; MAY_WRITE: what is not sure
};

bool isFolder(const std::string& path);
bool isFile(const std::string& path);
// Another program has the file open without letting it be renamed or deleted
// (an editor, a viewer, a sync client): a start waits for it, then gives up.
bool heldWithoutDeleteSharing(const std::string& path);
// Whether the plug-in could make the file at `path` (ANSI), new or over one there.
WriteOutlook writeOutlook(const std::string& path);
