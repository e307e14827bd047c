#include "veltonet/platform/WinsockErrors.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <thread>
#include <utility>

namespace veltonet {
namespace {

TEST(WinsockErrors, EveryErrnoOfTheTableHasItsWindowsNumber) {
    // clang-format off
    const std::pair<int, int> expected[] = {
        {0, 0}, {EINTR, 10004}, {EBADF, 10038}, {EACCES, 10013}, {EPERM, 10013},
        {EFAULT, 10014}, {EINVAL, 10022}, {EMFILE, 10024}, {ENFILE, 10024}, {EAGAIN, 10035},
        {EWOULDBLOCK, 10035}, {EINPROGRESS, 10036}, {EALREADY, 10037}, {ENOTSOCK, 10038},
        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040}, {EPROTOTYPE, 10041}, {ENOPROTOOPT, 10042},
        {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
        {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
        {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050}, {ENETUNREACH, 10051}, {ENETRESET, 10052},
        {ECONNABORTED, 10053}, {ECONNRESET, 10054}, {EPIPE, 10054}, {ENOBUFS, 10055},
        {ENOMEM, 10055}, {EISCONN, 10056}, {ENOTCONN, 10057}, {ESHUTDOWN, 10058},
        {ETOOMANYREFS, 10059}, {ETIMEDOUT, 10060}, {ECONNREFUSED, 10061}, {ELOOP, 10062},
        {ENAMETOOLONG, 10063}, {EHOSTDOWN, 10064}, {EHOSTUNREACH, 10065}};
    // clang-format on
    for (const auto& [err, wsa] : expected) {
        EXPECT_EQ(WinsockErrorFromErrno(err), wsa) << "errno " << err;
    }
}

TEST(WinsockErrors, UnknownErrnoKeepsADistinctValueOutsideTheWindowsRange) {
    EXPECT_EQ(WinsockErrorFromErrno(ENOENT), kWsaUnknownBase + ENOENT);
    std::set<int> seen;
    for (int err : {ENOENT, ESRCH, EIO, ENXIO, E2BIG, ENOEXEC, ECHILD, ENOSPC, EROFS, EDOM}) {
        int wsa = WinsockErrorFromErrno(err);
        EXPECT_TRUE(seen.insert(wsa).second);
        EXPECT_GT(wsa, kWsaHostNotFound);
    }
}

TEST(WinsockErrors, LastSocketErrorBelongsToTheThread) {
    SetLastSocketError(kWsaEconnrefused);
    int seenElsewhere = -1;
    std::thread other([&] {
        seenElsewhere = GetLastSocketError();
        SetLastSocketError(kWsaEtimedout);
    });
    other.join();
    EXPECT_EQ(seenElsewhere, 0);
    EXPECT_EQ(GetLastSocketError(), kWsaEconnrefused);
}

}  // namespace
}  // namespace veltonet
