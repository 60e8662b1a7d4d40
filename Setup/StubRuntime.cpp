// The Windows stub's replacements for three pieces of the static run-time,
// linked before the run-time's libraries so that theirs are never pulled in.
// Should anything need another symbol of the pieces replaced here, the link
// fails with a duplicate definition instead of growing the stub unseen.
//
// 1. The C++ library raises its own failures through std::__throw_*, all
//    defined in one object that constructs every standard exception class,
//    and with them the library's whole reference-counted string. Here they
//    raise the same standard classes where those are light, and for the
//    string-carrying ones (length_error, out_of_range and their kin) an
//    exception with the same what() text. The launcher catches these only
//    as std::exception (the error box prints what()), so the box is the
//    same.
// 2. libstdc++ and libgcc's unwinder, built for POSIX threads, lock their
//    tables with pthread mutexes, run one-time set-up with pthread_once and
//    keep the per-thread exception state in pthread keys. The full thread
//    library is a third of the stub; the few calls are made here from
//    atomics and the system's thread-local slots. Thread-local values set
//    here are not freed when a thread ends: only the launcher's one thread
//    raises exceptions, and the process ends with it.
// 3. The start-up code applies the pseudo-relocations that data imported
//    from DLLs without dllimport needs, with code that writes its own
//    diagnostics. The stub imports functions only, so their list is empty;
//    should it ever be not, the stub stops at once (abort, exit code 3)
//    instead of running with wrong addresses.
#include <windows.h>
#include <pthread.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <typeinfo>

namespace {

// A standard failure that would carry a std::string: its text, cut to fit.
class LibraryFailure final : public std::exception {
public:
    explicit LibraryFailure(const char* text) noexcept { Append(text, std::strlen(text)); }
    const char* what() const noexcept override { return text_; }

    void Append(const char* text, size_t length) noexcept {
        const size_t room = sizeof text_ - 1 - length_;
        if (length > room) length = room;
        std::memcpy(text_ + length_, text, length);
        length_ += length;
        text_[length_] = '\0';
    }

private:
    char text_[512] = {};
    size_t length_ = 0;
};

void AppendUnsigned(LibraryFailure& failure, size_t value) noexcept {
    char digits[24];
    size_t n = sizeof digits;
    do {
        digits[--n] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    failure.Append(digits + n, sizeof digits - n);
}

}  // namespace

namespace std {

void __throw_bad_alloc() {
    throw bad_alloc();
}
void __throw_bad_array_new_length() {
    throw bad_array_new_length();
}
void __throw_bad_cast() {
    throw bad_cast();
}
void __throw_bad_typeid() {
    throw bad_typeid();
}
void __throw_bad_exception() {
    throw bad_exception();
}
void __throw_logic_error(const char* text) {
    throw LibraryFailure(text);
}
void __throw_domain_error(const char* text) {
    throw LibraryFailure(text);
}
void __throw_invalid_argument(const char* text) {
    throw LibraryFailure(text);
}
void __throw_length_error(const char* text) {
    throw LibraryFailure(text);
}
void __throw_out_of_range(const char* text) {
    throw LibraryFailure(text);
}
void __throw_runtime_error(const char* text) {
    throw LibraryFailure(text);
}
void __throw_range_error(const char* text) {
    throw LibraryFailure(text);
}
void __throw_overflow_error(const char* text) {
    throw LibraryFailure(text);
}
void __throw_underflow_error(const char* text) {
    throw LibraryFailure(text);
}

// The library's formats use %s, %zu and %% only.
void __throw_out_of_range_fmt(const char* format, ...) {
    LibraryFailure failure("");
    va_list arguments;
    va_start(arguments, format);
    for (const char* p = format; *p != '\0'; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            const char* text = va_arg(arguments, const char*);
            failure.Append(text, std::strlen(text));
            ++p;
        } else if (p[0] == '%' && p[1] == 'z' && p[2] == 'u') {
            AppendUnsigned(failure, va_arg(arguments, size_t));
            p += 2;
        } else if (p[0] == '%' && p[1] == '%') {
            failure.Append("%", 1);
            ++p;
        } else {
            failure.Append(p, 1);
        }
    }
    va_end(arguments);
    throw failure;
}

}  // namespace std

extern "C" {

// 0: not run yet (PTHREAD_ONCE_INIT), 1: running, 2: done.
int pthread_once(pthread_once_t* once, void (*init)(void)) {
    long state = __atomic_load_n(once, __ATOMIC_ACQUIRE);
    if (state == 2) return 0;
    state = 0;
    if (__atomic_compare_exchange_n(once, &state, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        init();
        __atomic_store_n(once, 2, __ATOMIC_RELEASE);
        return 0;
    }
    while (__atomic_load_n(once, __ATOMIC_ACQUIRE) != 2) Sleep(0);
    return 0;
}

// 1: held; any other value (0, or the static initializer -1): free. Held
// only around short table updates, so waiting spins.
int pthread_mutex_init(pthread_mutex_t* mutex, const pthread_mutexattr_t*) {
    __atomic_store_n(mutex, 0, __ATOMIC_RELEASE);
    return 0;
}
int pthread_mutex_destroy(pthread_mutex_t*) {
    return 0;
}
int pthread_mutex_lock(pthread_mutex_t* mutex) {
    for (;;) {
        pthread_mutex_t state = __atomic_load_n(mutex, __ATOMIC_RELAXED);
        if (state != 1 &&
            __atomic_compare_exchange_n(mutex, &state, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            return 0;
        }
        Sleep(0);
    }
}
int pthread_mutex_unlock(pthread_mutex_t* mutex) {
    __atomic_store_n(mutex, 0, __ATOMIC_RELEASE);
    return 0;
}

int pthread_key_create(pthread_key_t* key, void (*)(void*)) {
    const DWORD slot = TlsAlloc();
    if (slot == TLS_OUT_OF_INDEXES) return EAGAIN;
    *key = slot;
    return 0;
}
// TlsGetValue clears the thread's last error; the caller's stays.
void* pthread_getspecific(pthread_key_t key) {
    const DWORD error = GetLastError();
    void* value = TlsGetValue(key);
    SetLastError(error);
    return value;
}
int pthread_setspecific(pthread_key_t key, const void* value) {
    return TlsSetValue(key, const_cast<void*>(value)) ? 0 : EINVAL;
}

// Bounds of the list, from the linker script.
extern char __RUNTIME_PSEUDO_RELOC_LIST__;
extern char __RUNTIME_PSEUDO_RELOC_LIST_END__;
void _pei386_runtime_relocator() {
    if (&__RUNTIME_PSEUDO_RELOC_LIST__ != &__RUNTIME_PSEUDO_RELOC_LIST_END__) abort();
}

}  // extern "C"
