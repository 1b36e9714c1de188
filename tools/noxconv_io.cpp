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
    : m_buffer(chunkSize + s_carryRoom + s_padding), m_chunk(chunkSize)
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
    if (m_ownFd && m_fd >= 0) {
        close(m_fd);
    }
}

namespace {

bool s_sameFile(const struct stat& a, int fd)
{
    struct stat b {};
    return fstat(fd, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Holds back the signals that would end the process while the temporary file is created or
// copied into the target, so that neither is left half done.
class SignalsHeld {
  public:
    SignalsHeld()
    {
        sigset_t held;
        sigemptyset(&held);
        for (int sig : s_signals) {
            sigaddset(&held, sig);
        }
        sigprocmask(SIG_BLOCK, &held, &m_previous);
    }
    ~SignalsHeld() { sigprocmask(SIG_SETMASK, &m_previous, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t m_previous;
};

} // namespace

bool Output::open(const std::string& path, std::string* error)
{
    if (path.empty() || path == "-") {
        m_fd = 1;
        return true;
    }
    m_path = path;
    // A link is followed: the file it points to receives the output, the link stays.
    char resolved[PATH_MAX];
    struct stat st {};
    m_targetExists = stat(path.c_str(), &st) == 0;
    m_target = m_targetExists && realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    // /dev/stdout and the like: the file that standard output (or error) already writes to
    // is written through that descriptor, at its position, so that text written before and
    // after noxconv stays.
    if (m_targetExists && s_sameFile(st, 1)) {
        m_fd = 1;
        return true;
    }
    if (m_targetExists && s_sameFile(st, s_diagnosticsFd)) {
        m_fd = s_diagnosticsFd;
        return true;
    }
    if (m_targetExists && !S_ISREG(st.st_mode)) {
        // A terminal, device or pipe cannot be replaced: it is written directly.
        m_fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
        m_ownFd = m_fd >= 0;
        if (m_fd < 0) {
            *error = "cannot open output " + path + ": " + std::strerror(errno);
        }
        return m_fd >= 0;
    }
    if (!mf_createTemporary(s_directoryOf(m_target), error)) {
        const char* tmp = std::getenv("TMPDIR");
        std::string ignored;
        if (!m_targetExists || (errno != EACCES && errno != EROFS) ||
            !mf_createTemporary(tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp", &ignored)) {
            return false;
        }
    }
    // A new file gets the usual mode of a new file; an existing one keeps its own.
    if (!m_targetExists) {
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(m_fd, 0666 & ~mask);
    }
    return true;
}

bool Output::mf_createTemporary(const std::string& directory, std::string* error)
{
    std::string pattern = directory + "/." + s_baseOf(m_target) + ".noxconv-XXXXXX";
    if (pattern.size() >= sizeof s_tempPath) {
        *error = "output path too long: " + m_path;
        errno = ENAMETOOLONG;
        return false;
    }
    // The file is created and recorded for the signal handler with the signals held back,
    // so that no signal can come between the two.
    s_watchSignals(true);
    int createError = 0;
    {
        const SignalsHeld held;
        m_fd = mkostemp(&pattern[0], O_CLOEXEC);
        createError = errno;
        if (m_fd >= 0) {
            std::memcpy(s_tempPath, pattern.c_str(), pattern.size() + 1);
        }
    }
    if (m_fd < 0) {
        *error = "cannot create output file " + m_path + ": " + std::strerror(createError);
        s_watchSignals(false);
        errno = createError;
        return false;
    }
    m_ownFd = true;
    m_tempPath = pattern;
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

// Writes the temporary file's content over the target's, which keeps the target's inode,
// hard links, owner and mode.
bool Output::mf_copyInto(std::string* error)
{
    const int target = ::open(m_target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
    bool ok = target >= 0 && lseek(m_fd, 0, SEEK_SET) == 0;
    while (ok) {
        const ssize_t got = read(m_fd, m_buffer.data(), m_buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        ok = got >= 0 && s_writeAll(target, m_buffer.data(), static_cast<std::size_t>(got));
        if (got <= 0) {
            break;
        }
    }
    int copyError = errno;
    if (target >= 0 && close(target) != 0 && ok) {
        copyError = errno;
        ok = false;
    }
    if (!ok) {
        *error = "cannot write " + m_path + ": " + std::strerror(copyError);
    }
    return ok;
}

bool Output::commit(std::string* error)
{
    if (!flush(error)) {
        return false;
    }
    if (m_tempPath.empty()) {
        return true;
    }
    bool ok = true;
    {
        const SignalsHeld held;
        if (m_targetExists) {
            ok = mf_copyInto(error);
        } else if (rename(m_tempPath.c_str(), m_target.c_str()) != 0) {
            *error = "cannot write " + m_path + ": " + std::strerror(errno);
            ok = false;
        } else {
            m_tempPath.clear();
            s_tempPath[0] = 0;
            s_watchSignals(false);
        }
        discard();
    }
    return ok;
}

void Output::discard()
{
    if (m_tempPath.empty()) {
        return;
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
        // Size unknown (a pipe): show the amount read, at most every tenth of a MiB on a
        // terminal and every MiB on a plain line.
        const long step = static_cast<long>(m_plain ? mib : mib * 10);
        if (step == m_shown) {
            return;
        }
        m_shown = step;
        std::snprintf(line, sizeof line,
                      m_plain ? "noxconv: %.1f MiB read\n" : "\rnoxconv: %.1f MiB", mib);
    } else {
        const long percent = static_cast<long>(done * 100 / m_total);
        if (percent == m_shown) {
            return;
        }
        m_shown = percent;
        const int filled = static_cast<int>(percent / 4);
        const double total = static_cast<double>(m_total) / (1024.0 * 1024.0);
        if (m_plain) {
            std::snprintf(line, sizeof line, "noxconv: %ld%% %.1f/%.1f MiB\n", percent, mib, total);
        } else {
            std::snprintf(line, sizeof line, "\rnoxconv: [%-25.*s] %3ld%% %.1f/%.1f MiB", filled,
                          "#########################", percent, mib, total);
        }
    }
    writeDiagnostics(line);
    m_drawn = !m_plain;
}

void Progress::finish()
{
    if (m_drawn) {
        writeDiagnostics("\r\033[K");
        m_drawn = false;
    }
}

} // namespace noxconv
