// A file a little over 4 GiB (sparse, so it takes no disk space): the lines
// on both sides of offset 0x100000000 are exact, and every line before it
// has the eight-digit width. Slow: 20 GB of dump go through a pipe.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "process.h"
#include "reference.h"

TEST(PastFourGiB, OffsetFieldWidensAndTheLinesShiftByOne)
{
    const std::uint64_t G4 = std::uint64_t{1} << 32;
    char tmpl[] = "/tmp/hexcat-big-XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    std::string before = randombytes(32, 1); // the last two lines below 4 GiB
    std::string after = randombytes(40, 2);  // two full lines and 8 bytes
    ASSERT_EQ(pwrite(fd, before.data(), 32, static_cast<off_t>(G4 - 32)), 32);
    ASSERT_EQ(pwrite(fd, after.data(), 40, static_cast<off_t>(G4)), 40);
    close(fd);

    child c = spawn({tmpl}, {});
    // Lines below 4 GiB are 78 bytes; from 4 GiB on, 79.
    const std::uint64_t lowlines = G4 / 16;
    const std::uint64_t keepfrom = 78 * (lowlines - 2);
    std::string first;
    std::string tail;
    std::uint64_t total = 0;
    // The dump between the first line and the last few is moved to
    // /dev/null inside the kernel rather than copied in here.
    int null = open("/dev/null", O_WRONLY);
    ASSERT_GE(null, 0);
    std::string buf(1 << 20, '\0');
    for (;;) {
        ssize_t n;
        if (total >= 78 && total < keepfrom)
            n = splice(c.out, nullptr, null, nullptr,
                       static_cast<std::size_t>(std::min<std::uint64_t>(keepfrom - total, 1 << 30)), 0);
        else
            n = read(c.out, buf.data(), total < 78 ? 78 - total : buf.size());
        if (n <= 0)
            break;
        if (total < 78)
            first.append(buf.data(), static_cast<std::size_t>(n));
        else if (total >= keepfrom)
            tail.append(buf.data(), static_cast<std::size_t>(n));
        total += static_cast<std::uint64_t>(n);
    }
    close(null);
    result r = finish(c);
    unlink(tmpl);

    unsigned char zeros[16] = {};
    EXPECT_EQ(first, refline(zeros, 0, 16));
    const unsigned char *b = bytesof(before);
    const unsigned char *a = bytesof(after);
    std::string want = refline(b, G4 - 32, 16) + refline(b + 16, G4 - 16, 16) + refline(a, G4, 16) +
                       refline(a + 16, G4 + 16, 16) + refline(a + 32, G4 + 32, 8);
    EXPECT_EQ(tail, want);
    EXPECT_EQ(tail.substr(78 + 78, 10), "100000000:");
    EXPECT_EQ(total, keepfrom + want.size());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}
