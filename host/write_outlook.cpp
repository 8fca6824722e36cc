#include "write_outlook.h"

#include <windows.h>

#include <cstdint>

namespace {

// The folder a file lies in, with its separator.
std::string folderOf(const std::string& path) {
    const size_t separator = path.find_last_of("\\/");
    return separator == std::string::npos ? std::string(".") : path.substr(0, separator + 1);
}

enum Access { ACCESS_ALLOWED, ACCESS_REFUSED, ACCESS_UNKNOWN };

// Asks Windows whether this user may have `wanted` on `path`, from its
// security descriptor; nothing is opened for writing.
Access accessTo(const std::string& path, DWORD wanted) {
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    alignas(8) uint8_t descriptor[4096];
    DWORD needed = 0;
    if (!GetFileSecurityA(path.c_str(), parts, descriptor, sizeof descriptor, &needed)) return ACCESS_UNKNOWN;
    HANDLE process = nullptr;
    HANDLE user = nullptr;
    const bool haveUser = OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &process) &&
                          DuplicateToken(process, SecurityImpersonation, &user);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    PRIVILEGE_SET privileges;
    DWORD privilegesSize = sizeof privileges;
    DWORD granted = 0;
    BOOL allowed = FALSE;
    const bool checked = haveUser && AccessCheck(descriptor, user, wanted, &mapping, &privileges,
                                                 &privilegesSize, &granted, &allowed);
    if (user != nullptr) CloseHandle(user);
    if (process != nullptr) CloseHandle(process);
    if (!checked) return ACCESS_UNKNOWN;
    return allowed ? ACCESS_ALLOWED : ACCESS_REFUSED;
}

WriteOutlook outlookOf(Access access, MessageId refused) {
    if (access == ACCESS_REFUSED) return WriteOutlook{CANNOT_WRITE, refused};
    return WriteOutlook{access == ACCESS_ALLOWED ? CAN_WRITE : MAY_WRITE, PLAN_UNSURE};
}

// UAC's file virtualization, where it is allowed for this user: a host without
// a manifest that a folder refuses gets its writes moved to the user's
// VirtualStore folder, and reads them back from there.
bool writesMayBeMoved() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD allowed = 0;
    DWORD size = 0;
    const bool asked =
        GetTokenInformation(token, TokenVirtualizationAllowed, &allowed, sizeof allowed, &size);
    CloseHandle(token);
    return asked && allowed != 0;
}

WriteOutlook folderOutlook(const std::string& folder) {
    const bool readOnly = (GetFileAttributesA(folder.c_str()) & FILE_ATTRIBUTE_READONLY) != 0;
    const WriteOutlook outlook =
        outlookOf(accessTo(folder, FILE_ADD_FILE), readOnly ? WRITE_READ_ONLY_FOLDER : WRITE_NOT_ALLOWED);
    if (outlook.chance == CANNOT_WRITE && writesMayBeMoved())
        return WriteOutlook{MAY_WRITE, PLAN_VIRTUAL_STORE};
    return outlook;
}

}  // namespace

bool isFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Asking for the right to delete is what a rename asks for; it deletes nothing.
bool heldWithoutDeleteSharing(const std::string& path) {
    const DWORD everyone = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const HANDLE file =
        CreateFileA(path.c_str(), DELETE, everyone, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(file);
    return false;
}

// The plug-in writes a temporary file beside the target and moves that into
// place, so the folder must take a new file and a file already there must let
// itself be replaced. The read-only mark on a folder Windows leaves to the
// permissions (Wine takes them from it).
WriteOutlook writeOutlook(const std::string& path) {
    const std::string folder = folderOf(path);
    if (!isFolder(folder)) return WriteOutlook{CANNOT_WRITE, WRITE_NO_FOLDER};
    const WriteOutlook inFolder = folderOutlook(folder);
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (inFolder.chance == CANNOT_WRITE || attributes == INVALID_FILE_ATTRIBUTES) return inFolder;
    if (attributes & FILE_ATTRIBUTE_READONLY) return WriteOutlook{CANNOT_WRITE, WRITE_READ_ONLY_FILE};
    const WriteOutlook overFile = outlookOf(accessTo(path, DELETE), WRITE_NOT_ALLOWED);
    return overFile.chance == CAN_WRITE ? inFolder : overFile;
}
