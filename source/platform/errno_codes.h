// The Win32 error code closest to a C runtime errno value, the same on every system,
// so a failure logs the same code on Windows and Linux.
#pragma once

#include <cerrno>

#include "platform/platform.h"

namespace quillmesh::platform {

inline DWORD Win32ErrorFromErrno(int error) {
  switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOSPC: return ERROR_DISK_FULL;
#ifdef EDQUOT
    case EDQUOT: return ERROR_DISK_FULL;
#endif
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_WRITE_FAULT;
  }
}

}  // namespace quillmesh::platform
