#include "persist/file_io.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
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

// After EINTR: whether to try the call again.
bool retry_after_signal(const InterruptCheck& on_interrupt) { return !on_interrupt || on_interrupt(); }

// open(2), retried when a signal interrupts it (opening a FIFO blocks until
// the other end is opened); -1 with errno set on failure.
int open_retrying(const char* path, int flags, mode_t mode, const InterruptCheck& on_interrupt) {
    for (;;) {
        const int fd = ::open(path, flags, mode);
        if (fd >= 0 || errno != EINTR) return fd;
        if (!retry_after_signal(on_interrupt)) {
            errno = EINTR;
            return -1;
        }
    }
}

// Writes everything, retrying short writes and interruptions; 0 or errno.
int write_all(int fd, std::string_view contents, const InterruptCheck& on_interrupt) {
    const char* p = contents.data();
    std::size_t left = contents.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR && retry_after_signal(on_interrupt)) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

// close(2) is not retried after EINTR: the descriptor is gone either way.
int close_checked(int fd) {
    if (::close(fd) != 0 && errno != EINTR) return errno;
    return 0;
}

// Devices, pipes and the like: opened and written where they are, since
// they cannot be replaced by a rename.
Status write_in_place(const std::string& path, std::string_view contents, const InterruptCheck& on_interrupt) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666, on_interrupt);
    if (fd < 0) return os_error(errno);
    int err = write_all(fd, contents, on_interrupt);
    const int closed = close_checked(fd);
    if (err == 0) err = closed;
    if (err != 0) return os_error(err);
    return {};
}

// "dir/" of "dir/name", empty for a bare name.
std::string directory_prefix(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string base_name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Follows symbolic links at the end of `path` as open() would, dangling
// ones included, so that the file replaced is the one the link names.
Result<std::string> follow_links(const std::string& path) {
    std::string target = path;
    for (int hops = 0;; ++hops) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
        if (hops == 40) return os_error(ELOOP);
        std::string link(static_cast<std::size_t>(st.st_size) + 1, '\0');
        ssize_t n;
        for (;;) {
            n = ::readlink(target.c_str(), link.data(), link.size());
            if (n < 0) return os_error(errno);
            if (static_cast<std::size_t>(n) < link.size()) break;
            link.resize(link.size() * 2);
        }
        link.resize(static_cast<std::size_t>(n));
        target = !link.empty() && link[0] == '/' ? link : directory_prefix(target) + link;
    }
}

// Temporary files are named ".<key>.arbolet-<pid>-<tag>.tmp" beside their
// target, where <key> is the target's name, or a hash of it when the name is
// so long that the temporary name would not fit the directory's limit.
constexpr std::size_t kMaxNameBytes = 255;
constexpr std::string_view kTempMarker = ".arbolet-";
constexpr std::string_view kTempSuffix = ".tmp";
// '.', marker, pid (at most 10 digits), '-', 16 hex digits, suffix.
constexpr std::size_t kTempOverhead = 1 + kTempMarker.size() + 10 + 1 + 16 + kTempSuffix.size();

std::string hex64(std::uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

std::string temp_key(const std::string& base) {
    if (base.size() + kTempOverhead <= kMaxNameBytes) return base;
    std::uint64_t h = 0xcbf29ce484222325ULL;  // FNV-1a
    for (unsigned char c : base) h = (h ^ c) * 0x100000001b3ULL;
    return "h" + hex64(h);
}

std::string temp_prefix(const std::string& target) {
    return "." + temp_key(base_name(target)) + std::string(kTempMarker);
}

std::string temp_name(const std::string& target) {
    static std::atomic<std::uint64_t> counter{0};
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::uint64_t tag = (static_cast<std::uint64_t>(ts.tv_nsec) ^ (static_cast<std::uint64_t>(ts.tv_sec) << 30)) +
                              (counter.fetch_add(1) << 48);
    return directory_prefix(target) + temp_prefix(target) + std::to_string(::getpid()) + "-" + hex64(tag) +
           std::string(kTempSuffix);
}

// Removes temporary files of `target` left by writers that no longer run
// (killed in the middle of a save). Files of live processes, this one
// included, are left alone: they belong to saves still in progress.
void remove_stale_temporaries(const std::string& target) {
    const std::string dir = directory_prefix(target);
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) return;
    const std::string prefix = temp_prefix(target);
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(d)) {
        const std::string_view name = entry->d_name;
        if (name.size() <= prefix.size() + kTempSuffix.size() || name.substr(0, prefix.size()) != prefix ||
            name.substr(name.size() - kTempSuffix.size()) != kTempSuffix)
            continue;
        long long pid = 0;
        std::size_t i = prefix.size();
        for (; i < name.size() && i < prefix.size() + 10 && name[i] >= '0' && name[i] <= '9'; ++i)
            pid = pid * 10 + (name[i] - '0');
        if (i == prefix.size() || i >= name.size() || name[i] != '-' || pid <= 0 || pid > INT32_MAX) continue;
        if (static_cast<pid_t>(pid) == self) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        ::unlinkat(::dirfd(d), entry->d_name, 0);
    }
    ::closedir(d);
}

// An anonymous file in the target's directory (nothing is left behind if
// the writer dies before it is named), or -1 when the file system cannot
// make one; errno then says whether the directory refused (EACCES, EROFS,
// ...) or the feature is missing.
int open_anonymous(const std::string& target) {
#ifdef O_TMPFILE
    const std::string dir = directory_prefix(target);
    return ::open(dir.empty() ? "." : dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
#else
    (void)target;
    errno = EOPNOTSUPP;
    return -1;
#endif
}

bool anonymous_unsupported(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == ENOENT; }

// Gives the anonymous file `fd` the name `temp`; false when the system offers
// no way to (no /proc), in which case the caller writes a named file instead.
bool link_anonymous(int fd, const std::string& temp, int& err) {
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
    err = errno;
    return false;
}

// Fills the open temporary file and makes its contents durable; 0 or errno.
int fill(int fd, const struct stat* old, std::string_view contents, const InterruptCheck& on_interrupt) {
    if (old != nullptr) {
        // The new file takes the old one's permissions; its owner too when
        // we may give it away.
        if (::fchmod(fd, old->st_mode & 07777) != 0) return errno;
        if (::fchown(fd, old->st_uid, old->st_gid) != 0) {
            // Not ours to give away: the new file keeps our ownership.
        }
    }
    if (const int err = write_all(fd, contents, on_interrupt); err != 0) return err;
    if (::fsync(fd) != 0) return errno;
    return 0;
}

void sync_directory(const std::string& target) {
    const std::string dir = directory_prefix(target);
    const int dir_fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        ::fsync(dir_fd);
        ::close(dir_fd);
    }
}

// Writes `contents` to a temporary file beside `target` and renames it over
// the target. On failure nothing is left behind and the target is as it was.
Status replace_atomically(const std::string& target, const struct stat* old, std::string_view contents,
                          const InterruptCheck& on_interrupt) {
    std::string temp;
    int err = 0;
    const int anon = open_anonymous(target);
    if (anon < 0 && !anonymous_unsupported(errno)) return os_error(errno);
    if (anon >= 0) {
        err = fill(anon, old, contents, on_interrupt);
        bool named = false;
        for (int attempt = 0; err == 0 && !named && attempt < 100; ++attempt) {
            temp = temp_name(target);
            int link_err = 0;
            named = link_anonymous(anon, temp, link_err);
            if (!named && link_err != EEXIST) break;
        }
        close_checked(anon);
        if (err != 0) return os_error(err);
        if (!named) temp.clear();
    }
    if (temp.empty()) {
        int fd = -1;
        for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
            temp = temp_name(target);
            fd = open_retrying(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666, on_interrupt);
            if (fd < 0 && errno != EEXIST) return os_error(errno);
        }
        if (fd < 0) return os_error(EEXIST);
        err = fill(fd, old, contents, on_interrupt);
        const int closed = close_checked(fd);
        if (err == 0) err = closed;
    }
    if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return os_error(err);
    }
    // Makes the rename itself durable; a failure here loses nothing.
    sync_directory(target);
    return {};
}

}  // namespace

Status write_file(const std::string& path, std::string_view contents, const InterruptCheck& on_interrupt) {
    if (has_nul(path)) return nul_in_path();
    Result<std::string> followed = follow_links(path);
    if (!followed) return followed.take_error();
    const std::string& target = followed.value();
    struct stat st {};
    const bool exists = ::stat(target.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) return write_in_place(target, contents, on_interrupt);
    // A file we could not open for writing must not be replaced either.
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0 && errno == EACCES)
        return os_error(EACCES);
    remove_stale_temporaries(target);
    return replace_atomically(target, exists ? &st : nullptr, contents, on_interrupt);
}

Result<std::string> read_file(const std::string& path, const InterruptCheck& on_interrupt) {
    if (has_nul(path)) return nul_in_path();
    const int fd = open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC, 0, on_interrupt);
    if (fd < 0) return os_error(errno);
    std::string data;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
        data.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR && retry_after_signal(on_interrupt)) continue;
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
