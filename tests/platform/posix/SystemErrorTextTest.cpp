// The POSIX backend's own texts for Win32 codes: every code the program
// produces has one (Wine's message table lacks some Winsock texts that
// Windows has, so the complete list is checked where the texts are ours).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "common/Utf8.h"
#include "platform/RegistryCodes.h"
#include "platform/ServiceCodes.h"
#include "platform/SystemErrorText.h"
#include "platform/Win32Codes.h"

namespace {

TEST(SystemErrorText, EveryCodeTheProgramProducesHasAText) {
    const DWORD codes[] = {
        ERROR_SUCCESS, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
        ERROR_TOO_MANY_OPEN_FILES, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE, ERROR_NOT_ENOUGH_MEMORY,
        ERROR_INVALID_DATA, ERROR_OUTOFMEMORY, ERROR_WRITE_PROTECT, ERROR_SHARING_VIOLATION, ERROR_HANDLE_EOF,
        ERROR_NOT_SUPPORTED, ERROR_FILE_EXISTS, ERROR_INVALID_PARAMETER, ERROR_DISK_FULL,
        ERROR_CALL_NOT_IMPLEMENTED, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_NAME, ERROR_DIR_NOT_EMPTY,
        ERROR_BAD_PATHNAME, ERROR_ALREADY_EXISTS, ERROR_FILENAME_EXCED_RANGE, ERROR_MORE_DATA, ERROR_NO_MORE_ITEMS,
        ERROR_NOACCESS, ERROR_REGISTRY_CORRUPT, ERROR_KEY_DELETED, ERROR_INVALID_THREAD_ID, ERROR_TIMEOUT,
        ERROR_NOT_ENOUGH_QUOTA, ERROR_CANCELLED, ERROR_SERVICE_ALREADY_RUNNING, ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
        ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, ERROR_EXCEPTION_IN_SERVICE, ERROR_SERVICE_SPECIFIC_ERROR,
        ERROR_SERVICE_NOT_IN_EXE, 1051, 1052, 1053, 1055, 1058, 1060, 1062, 1072, 1073, 1078,
        WSAEINTR, WSAEBADF, WSAEACCES, WSAEFAULT, WSAEINVAL, WSAEMFILE, WSAEWOULDBLOCK, WSAEINPROGRESS,
        WSAENOTSOCK, WSAEMSGSIZE, WSAEAFNOSUPPORT, WSAEADDRINUSE, WSAEADDRNOTAVAIL, WSAENETDOWN, WSAENETUNREACH,
        WSAECONNABORTED, WSAECONNRESET, WSAENOBUFS, WSAENOTCONN, WSAETIMEDOUT, WSAECONNREFUSED,
    };
    for (const DWORD code : codes) EXPECT_FALSE(plat::SystemErrorText(code).empty()) << "code " << code;
}

TEST(SystemErrorText, PosixTakesTheCLibrarysTextWhereAnErrnoStandsForTheCode) {
    EXPECT_EQ(Utf8ToWideLossy(std::strerror(ENOENT)), plat::SystemErrorText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Utf8ToWideLossy(std::strerror(EADDRINUSE)), plat::SystemErrorText(WSAEADDRINUSE));
    EXPECT_EQ(L"More data is available.", plat::SystemErrorText(ERROR_MORE_DATA));
    EXPECT_EQ(L"The specified service does not exist as an installed service.", plat::SystemErrorText(1060));
}
}  // namespace
