// What a run of the tool writes, caught in a memory file; and dumps compared
// line by line. Without GoogleTest, for the fuzz target too.
#ifndef HEXCAT_TESTS_CAPTURE_H
#define HEXCAT_TESTS_CAPTURE_H

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

// A memory file for a run's output or reports to go to.
class memfile {
  public:
    memfile() : fd(memfd_create("capture", 0))
    {
        if (fd < 0)
            std::abort();
    }
    ~memfile() { close(fd); }
    memfile(const memfile &) = delete;
    memfile &operator=(const memfile &) = delete;

    // Everything written to it since the last take; empties it.
    std::string take() const
    {
        std::string s(static_cast<std::size_t>(lseek(fd, 0, SEEK_END)), '\0');
        if (pread(fd, s.data(), s.size(), 0) != static_cast<ssize_t>(s.size()) || ftruncate(fd, 0) != 0 ||
            lseek(fd, 0, SEEK_SET) != 0)
            std::abort();
        return s;
    }

    const int fd;
};

// Where the dump got parts from want: "" when they are the same, else the
// first line that differs in each, so that a failure shows that line rather
// than both dumps whole.
inline std::string dumpdiff(const std::string &got, const std::string &want)
{
    if (got == want)
        return "";
    auto at = static_cast<std::size_t>(std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first -
                                       got.begin());
    std::size_t from = at == 0 ? 0 : got.rfind('\n', at - 1) + 1; // npos + 1 is 0
    auto line = [from](const std::string &s) { return s.substr(from, s.find('\n', from) - from); };
    auto lines = [](const std::string &s, std::size_t end) {
        return std::count(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(end), '\n');
    };
    return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size()) + "; line " +
           std::to_string(lines(got, from) + 1) + " of " + std::to_string(lines(got, got.size())) + " and " +
           std::to_string(lines(want, want.size())) + " differs:\n got: " + line(got) +
           "\nwant: " + line(want);
}

#endif
