#include "persist/file_io.hpp"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace arbolet::persist {

namespace {

EngineError os_error(int code) {
    return EngineError::io(std::string(std::strerror(code)) + " (os error " + std::to_string(code) + ")");
}

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

EngineError nul_in_path() { return EngineError::io("file name contained an unexpected NUL byte"); }

// Writes everything, retrying short writes and interruptions; 0 or errno.
int write_all(int fd, std::string_view contents) {
    const char* p = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

int close_checked(int fd) {
    if (::close(fd) != 0 && errno != EINTR) return errno;
    return 0;
}

// Devices, pipes and the like: opened and written where they are, since
// they cannot be replaced by a rename.
Status write_in_place(const std::string& path, std::string_view contents) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return os_error(errno);
    int err = write_all(fd, contents);
    const int closed = close_checked(fd);
    if (err == 0) err = closed;
    if (err != 0) return os_error(err);
    return {};
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A fresh file beside `target`, created with mode 0666 so that the umask
// applies as it would to the target itself.
int create_temporary(const std::string& target, std::string& name) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        const unsigned long tag = static_cast<unsigned long>(ts.tv_nsec) ^ (static_cast<unsigned long>(::getpid()) << 20) ^
                                  (static_cast<unsigned long>(counter.fetch_add(1)) << 40);
        name = dir + "." + base + "." + std::to_string(tag % 100000000000UL) + ".tmp";
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

}  // namespace

// The document goes to a temporary file in the same directory, is flushed
// to disk and then renamed over the target, so that a save that fails half
// way (disk full, interruption) leaves the previous file intact.
Status write_file(const std::string& path, std::string_view contents) {
    if (has_nul(path)) return nul_in_path();
    std::string target = path;
    struct stat st {};
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return write_in_place(path, contents);
    if (exists) {
        // A file we could not open for writing must not be replaced either.
        if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0 && errno == EACCES) return os_error(EACCES);
        // Replace the file a symbolic link points to, not the link.
        struct stat lst {};
        if (::lstat(path.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode)) {
            char* resolved = ::realpath(path.c_str(), nullptr);
            if (resolved != nullptr) {
                target = resolved;
                std::free(resolved);
            }
        }
    }

    std::string temp;
    const int fd = create_temporary(target, temp);
    if (fd < 0) {
        const int err = errno;
        // A writable file in a directory we may not create files in: the
        // only way left is to write it in place.
        if (exists && (err == EACCES || err == EPERM)) return write_in_place(path, contents);
        return os_error(err);
    }
    int err = 0;
    if (exists) {
        if (::fchmod(fd, st.st_mode & 07777) != 0) err = errno;
        if (err == 0 && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
            // Not ours to give away; the new file keeps our ownership.
        }
    }
    if (err == 0) err = write_all(fd, contents);
    if (err == 0 && ::fsync(fd) != 0) err = errno;
    const int closed = close_checked(fd);
    if (err == 0) err = closed;
    if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return os_error(err);
    }
    // Make the rename itself durable; a failure here loses nothing.
    const int dir_fd = ::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
    return {};
}

Result<std::string> read_file(const std::string& path) {
    if (has_nul(path)) return nul_in_path();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return os_error(errno);
    std::string data;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return os_error(err);
        }
        if (n == 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return data;
}

}  // namespace arbolet::persist
