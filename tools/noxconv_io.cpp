// noxconv_io.cpp - reading input in fixed pieces, writing output atomically, progress and
// messages on standard error.
#include "noxconv_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

// Present when noxconv is built with a sanitizer: where its reports go.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace noxconv {

namespace {

// Descriptor of the original standard error; see silenceLibraryMessages().
int s_diagnosticsFd = 2;

// Bytes kept readable and zero after the data in the input buffer.
constexpr std::size_t s_padding = 8;
// Room for the unconverted rest of a piece: the longest character of any input form.
constexpr std::size_t s_carryRoom = 64;

// Path of the temporary output file, for the signal handler to remove.
char s_tempPath[4096] = "";

// Signals that end the process while a temporary file exists, and what they did before.
const int s_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
struct sigaction s_previous[sizeof s_signals / sizeof s_signals[0]];
bool s_watching = false;

void s_removeTempOnSignal(int sig)
{
    if (s_tempPath[0] != 0) {
        unlink(s_tempPath);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

// Removes the temporary file on the signals that would otherwise leave it behind; a signal
// that the caller ignores (nohup) stays ignored.
void s_watchSignals(bool on)
{
    if (on == s_watching) {
        return;
    }
    s_watching = on;
    for (std::size_t i = 0; i < sizeof s_signals / sizeof s_signals[0]; ++i) {
        if (!on) {
            sigaction(s_signals[i], &s_previous[i], nullptr);
            continue;
        }
        sigaction(s_signals[i], nullptr, &s_previous[i]);
        if (s_previous[i].sa_handler != SIG_IGN) {
            struct sigaction action {};
            action.sa_handler = s_removeTempOnSignal;
            sigemptyset(&action.sa_mask);
            sigaction(s_signals[i], &action, nullptr);
        }
    }
}

bool s_writeAll(int fd, const char* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t done = write(fd, p, n);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        p += done;
        n -= static_cast<std::size_t>(done);
    }
    return true;
}

std::string s_directoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string s_baseOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

void message(const std::string& text)
{
    writeDiagnostics("noxconv: " + text + "\n");
}

void writeDiagnostics(const std::string& text)
{
    s_writeAll(s_diagnosticsFd, text.data(), text.size());
}

void silenceLibraryMessages()
{
    if (s_diagnosticsFd != 2) {
        return;
    }
    const int saved = fcntl(2, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null >= 0 && dup2(null, 2) >= 0) {
        s_diagnosticsFd = saved;
        // A sanitizer's report must not be silenced with the library's messages.
        if (__sanitizer_set_report_fd != nullptr) {
            __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(saved)));
        }
    } else if (saved >= 0) {
        close(saved);
    }
    if (null >= 0) {
        close(null);
    }
}

bool diagnosticsIsTerminal()
{
    return isatty(s_diagnosticsFd) != 0;
}

// ------------------------------------------------------------------ Input

std::uint64_t inputSize(const std::string& path)
{
    struct stat st {};
    const int rc = path == "-" ? fstat(0, &st) : stat(path.c_str(), &st);
    return rc == 0 && S_ISREG(st.st_mode) ? static_cast<std::uint64_t>(st.st_size) : 0;
}

Input::Input(std::size_t chunkSize)
    : m_buffer(chunkSize + s_carryRoom + s_padding, 0), m_chunk(chunkSize)
{
}

Input::~Input()
{
    if (m_ownFd) {
        close(m_fd);
    }
}

bool Input::open(const std::string& path, std::string* error)
{
    if (path == "-") {
        m_fd = 0;
        m_ownFd = false;
        m_name = "<stdin>";
    } else {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        m_ownFd = m_fd >= 0;
        m_name = path;
        if (m_fd < 0) {
            *error = "cannot open " + path + ": " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (fstat(m_fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        *error = "cannot read " + path + ": " + std::strerror(EISDIR);
        return false;
    }
    m_size =
        (fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode)) ? static_cast<std::uint64_t>(st.st_size) : 0;
    return true;
}

bool Input::refill(const char* keep, std::string* error)
{
    const std::size_t offset = static_cast<std::size_t>(keep - begin());
    const std::size_t rest = m_length - offset;
    std::memmove(m_buffer.data(), m_buffer.data() + offset, rest);
    m_base += offset;
    m_length = rest;
    const std::size_t room = m_buffer.size() - s_padding - m_length;
    const std::size_t want = room < m_chunk ? room : m_chunk;
    ssize_t got = 0;
    do {
        got = read(m_fd, m_buffer.data() + m_length, want);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        *error = "cannot read " + m_name + ": " + std::strerror(errno);
        return false;
    }
    m_eof = got == 0;
    m_length += static_cast<std::size_t>(got);
    // The converters may look at a few bytes past the end of their range.
    std::memset(m_buffer.data() + m_length, 0, s_padding);
    return true;
}

// ------------------------------------------------------------------ Output

Output::Output(std::size_t capacity) : m_buffer(capacity) {}

Output::~Output()
{
    discard();
    if (m_fd > 2) {
        close(m_fd);
    }
}

bool Output::open(const std::string& path, std::string* error)
{
    if (path.empty()) {
        m_fd = 1;
        return true;
    }
    m_path = path;
    // A link is followed: the file it points to is replaced, the link stays.
    char resolved[PATH_MAX];
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    const std::string target =
        exists && realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a pipe cannot be replaced: it is written directly.
        m_fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (m_fd < 0) {
            *error = "cannot open output " + path + ": " + std::strerror(errno);
        }
        return m_fd >= 0;
    }
    std::string pattern = s_directoryOf(target) + "/." + s_baseOf(target) + ".noxconv-XXXXXX";
    if (pattern.size() >= sizeof s_tempPath) {
        *error = "output path too long: " + path;
        return false;
    }
    // The file is created and recorded for the signal handler with the signals held back,
    // so that no signal can come between the two.
    s_watchSignals(true);
    sigset_t held;
    sigset_t previous;
    sigemptyset(&held);
    for (int sig : s_signals) {
        sigaddset(&held, sig);
    }
    sigprocmask(SIG_BLOCK, &held, &previous);
    m_fd = mkostemp(&pattern[0], O_CLOEXEC);
    const int createError = errno;
    if (m_fd >= 0) {
        std::memcpy(s_tempPath, pattern.c_str(), pattern.size() + 1);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (m_fd < 0) {
        *error = "cannot create output file " + path + ": " + std::strerror(createError);
        s_watchSignals(false);
        return false;
    }
    m_tempPath = pattern;
    m_target = target;
    // The new file gets the mode of the one it replaces, or the usual mode of a new file.
    mode_t mode = st.st_mode & 07777;
    if (!exists) {
        const mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask;
    }
    fchmod(m_fd, mode);
    return true;
}

bool Output::append(const std::string& bytes, std::string* error)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (m_length == m_buffer.size() && !flush(error)) {
            return false;
        }
        const std::size_t n = std::min(bytes.size() - done, m_buffer.size() - m_length);
        std::memcpy(m_buffer.data() + m_length, bytes.data() + done, n);
        m_length += n;
        done += n;
    }
    return true;
}

bool Output::flush(std::string* error)
{
    if (!s_writeAll(m_fd, m_buffer.data(), m_length)) {
        *error = "cannot write " + (m_path.empty() ? std::string("standard output") : m_path) +
                 ": " + std::strerror(errno);
        return false;
    }
    m_length = 0;
    return true;
}

bool Output::commit(std::string* error)
{
    if (!flush(error)) {
        return false;
    }
    if (m_tempPath.empty()) {
        return true;
    }
    const int fd = m_fd;
    m_fd = -1;
    if (close(fd) != 0 || rename(m_tempPath.c_str(), m_target.c_str()) != 0) {
        *error = "cannot write " + m_path + ": " + std::strerror(errno);
        return false;
    }
    m_tempPath.clear();
    s_tempPath[0] = 0;
    s_watchSignals(false);
    return true;
}

void Output::discard()
{
    if (m_tempPath.empty()) {
        return;
    }
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
    unlink(m_tempPath.c_str());
    m_tempPath.clear();
    s_tempPath[0] = 0;
    s_watchSignals(false);
}

// ------------------------------------------------------------------ Progress

void Progress::update(std::uint64_t done)
{
    if (!m_enabled) {
        return;
    }
    const double mib = static_cast<double>(done) / (1024.0 * 1024.0);
    char line[128];
    if (m_total == 0) {
        // Size unknown (a pipe): show the amount read, at most every tenth of a MiB.
        const long step = static_cast<long>(mib * 10);
        if (step == m_shown) {
            return;
        }
        m_shown = step;
        std::snprintf(line, sizeof line, "\rnoxconv: %.1f MiB", mib);
    } else {
        const long percent = static_cast<long>(done * 100 / m_total);
        if (percent == m_shown) {
            return;
        }
        m_shown = percent;
        const int filled = static_cast<int>(percent / 4);
        std::snprintf(line, sizeof line, "\rnoxconv: [%-25.*s] %3ld%% %.1f/%.1f MiB", filled,
                      "#########################", percent, mib,
                      static_cast<double>(m_total) / (1024.0 * 1024.0));
    }
    writeDiagnostics(line);
    m_drawn = true;
}

void Progress::finish()
{
    if (m_drawn) {
        writeDiagnostics("\r\033[K");
        m_drawn = false;
    }
}

} // namespace noxconv
