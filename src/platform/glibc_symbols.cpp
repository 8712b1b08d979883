// Keeps the Linux module loadable on systems with an older C library than
// the build machine's.
//
// The C++ runtime is linked into the module (CMakeLists.txt), but it was
// compiled against a recent glibc, which gave some old functions new symbol
// versions (the thread functions moved into libc in 2.34, stat became a real
// function in 2.33) and added others. The module's own definitions below take
// precedence for every reference inside it (they stay local: only the init
// function is exported) and forward to the oldest versions of the same
// functions (2.2.5, or 2.30 for the waits against a chosen clock).
// None of them touches floating point, so results do not depend on this file.
//
// The mathematical functions keep their 2.29 versions: their older entry
// points are older implementations on older systems, which could change
// results in the last bit.
#include <features.h>

#if defined(__x86_64__) && defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)

#include <pthread.h>
#include <sys/random.h>
#include <sys/stat.h>

#define ARBOLET_OLD_SYMBOL(local, name, version) __asm__(".symver " #local ", " #name "@" version)

extern "C" {

int arbolet_old_xstat(int, const char*, struct stat*);
int arbolet_old_lxstat(int, const char*, struct stat*);
int arbolet_old_fxstat(int, int, struct stat*);
ARBOLET_OLD_SYMBOL(arbolet_old_xstat, __xstat, "GLIBC_2.2.5");
ARBOLET_OLD_SYMBOL(arbolet_old_lxstat, __lxstat, "GLIBC_2.2.5");
ARBOLET_OLD_SYMBOL(arbolet_old_fxstat, __fxstat, "GLIBC_2.2.5");
// The structure layout version the old entry points take on x86-64, where
// the 64-bit variants (the C++ runtime's file streams call fstat64) are the
// same functions on the same structure.
constexpr int kStatVersion = 1;

int stat(const char* path, struct stat* buf) noexcept { return arbolet_old_xstat(kStatVersion, path, buf); }
int lstat(const char* path, struct stat* buf) noexcept { return arbolet_old_lxstat(kStatVersion, path, buf); }
int fstat(int fd, struct stat* buf) noexcept { return arbolet_old_fxstat(kStatVersion, fd, buf); }
int stat64(const char* path, struct stat64* buf) noexcept {
    return arbolet_old_xstat(kStatVersion, path, reinterpret_cast<struct stat*>(buf));
}
int lstat64(const char* path, struct stat64* buf) noexcept {
    return arbolet_old_lxstat(kStatVersion, path, reinterpret_cast<struct stat*>(buf));
}
int fstat64(int fd, struct stat64* buf) noexcept {
    return arbolet_old_fxstat(kStatVersion, fd, reinterpret_cast<struct stat*>(buf));
}

// `name` forwarded to its entry point of the given version. The noexcept
// clause must match the header's: cancellation points (pthread_once,
// pthread_join, pthread_cond_clockwait) are declared without one.
#define ARBOLET_FORWARD_AT(version, spec, ret, name, params, args) \
    ret arbolet_old_##name params;                                 \
    ARBOLET_OLD_SYMBOL(arbolet_old_##name, name, version);         \
    ret name params spec { return arbolet_old_##name args; }
#define ARBOLET_FORWARD(ret, name, params, args) ARBOLET_FORWARD_AT("GLIBC_2.2.5", noexcept, ret, name, params, args)

ARBOLET_FORWARD(int, pthread_key_create, (pthread_key_t* key, void (*destructor)(void*)), (key, destructor))
ARBOLET_FORWARD(int, __pthread_key_create, (pthread_key_t* key, void (*destructor)(void*)), (key, destructor))
ARBOLET_FORWARD(int, pthread_key_delete, (pthread_key_t key), (key))
ARBOLET_FORWARD(void*, pthread_getspecific, (pthread_key_t key), (key))
// The header marks the value "not accessed", which g++ then reports as read
// uninitialised when it is passed on.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
ARBOLET_FORWARD(int, pthread_setspecific, (pthread_key_t key, const void* value), (key, value))
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
ARBOLET_FORWARD_AT("GLIBC_2.2.5", , int, pthread_once, (pthread_once_t* once, void (*init)(void)), (once, init))
ARBOLET_FORWARD(int, pthread_rwlock_rdlock, (pthread_rwlock_t* lock), (lock))
ARBOLET_FORWARD(int, pthread_rwlock_wrlock, (pthread_rwlock_t* lock), (lock))
ARBOLET_FORWARD(int, pthread_rwlock_unlock, (pthread_rwlock_t* lock), (lock))
ARBOLET_FORWARD(int, pthread_create,
                (pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg),
                (thread, attr, start, arg))
ARBOLET_FORWARD_AT("GLIBC_2.2.5", , int, pthread_join, (pthread_t thread, void** result), (thread, result))
ARBOLET_FORWARD(int, pthread_detach, (pthread_t thread), (thread))
ARBOLET_FORWARD(int, pthread_mutex_timedlock, (pthread_mutex_t* mutex, const struct timespec* until), (mutex, until))

// Waits against a chosen clock, which the runtime's timed waits use; they
// first appeared in 2.30.
ARBOLET_FORWARD_AT("GLIBC_2.30", , int, pthread_cond_clockwait,
                   (pthread_cond_t* cond, pthread_mutex_t* mutex, clockid_t clock, const struct timespec* until),
                   (cond, mutex, clock, until))
ARBOLET_FORWARD_AT("GLIBC_2.30", noexcept, int, pthread_mutex_clocklock,
                   (pthread_mutex_t* mutex, clockid_t clock, const struct timespec* until), (mutex, clock, until))
ARBOLET_FORWARD_AT("GLIBC_2.30", noexcept, int, pthread_rwlock_clockrdlock,
                   (pthread_rwlock_t* lock, clockid_t clock, const struct timespec* until), (lock, clock, until))
ARBOLET_FORWARD_AT("GLIBC_2.30", noexcept, int, pthread_rwlock_clockwrlock,
                   (pthread_rwlock_t* lock, clockid_t clock, const struct timespec* until), (lock, clock, until))

// The runtime's shortcut for processes that never started a thread (2.32):
// claiming threads always takes the safe, atomic path.
char __libc_single_threaded = 0;

// Reached only through std::random_device("arc4random"), which the module
// never constructs (2.36).
unsigned arc4random(void) noexcept {
    unsigned char bytes[4] = {};
    if (getentropy(bytes, sizeof bytes) != 0) __builtin_trap();
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<unsigned>(bytes[3]) << 24);
}

}  // extern "C"

#endif
