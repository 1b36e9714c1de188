// noxconv.cpp - the command-line converter: options, listing, table dump and the run over
// the input files.
#include "noxconv_codec.h"
#include "noxconv_convert.h"
#include "noxconv_io.h"
#include "noxconv_names.h"

#include <noxunicode/unicode.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <getopt.h>

#ifndef NOXCONV_VERSION
#define NOXCONV_VERSION "unknown"
#endif

namespace noxconv {

namespace {

constexpr std::size_t s_defaultChunk = 64 * 1024;
constexpr std::size_t s_largestChunk = 64 * 1024 * 1024;
// Inputs larger than this get a progress bar when standard error is a terminal.
constexpr std::uint64_t s_progressThreshold = 4 * 1024 * 1024;

enum class Action { Convert, List, Dump, Help, Version };

struct Options {
    Action action = Action::Convert;
    std::string from;
    std::string to;
    std::string output;
    std::string dumpName;
    std::vector<std::string> inputs;
    OnError onError = OnError::Stop;
    bool bestEffort = false;
    bool progress = false;
    bool quiet = false;
    std::size_t chunkSize = s_defaultChunk;
};

const char* const s_usage = "Usage: noxconv [-f FROM] [-t TO] [-o OUTPUT] [OPTION]... [FILE]...\n";

void s_printHelp()
{
    std::fputs(s_usage, stdout);
    std::fputs("Convert text between code pages and the Unicode encoding forms.\n"
               "\n"
               "  -f, --from-code=NAME    encoding of the input (default: the code page in\n"
               "                          NOX_CODE_PAGE, else QV_CODE_PAGE, else LATIN_1)\n"
               "  -t, --to-code=NAME      encoding of the output (default: UTF-8)\n"
               "  -o, --output=FILE       write to FILE, replacing it only when the whole\n"
               "                          conversion succeeds (default: standard output)\n"
               "      --on-error=MODE     at a character that cannot be converted: stop (the\n"
               "                          default), skip it, or replace it (with '?' in a code\n"
               "                          page, U+FFFD in a Unicode encoding form)\n"
               "      --best-effort       let the library pass unmapped bytes and unmapped\n"
               "                          characters up to U+00FF through unchanged\n"
               "  -l, --list              list the code pages, their longest character and\n"
               "                          their aliases\n"
               "      --dump=NAME         print the table of code page NAME as UCM lines\n"
               "      --progress          show a progress bar even when it would not be shown\n"
               "  -q, --quiet             no progress bar and no summary of skipped characters\n"
               "      --chunk-size=N      read the input in pieces of N bytes (a testing aid;\n"
               "                          default 65536)\n"
               "  -h, --help              show this help and exit\n"
               "  -V, --version           show the version of noxconv and of the library\n"
               "\n"
               "NAME is a code page name or alias (any case), the path of a UCM file (a name\n"
               "with a '/' or ending in .ucm), or one of UTF-8, UTF-16, UTF-16LE, UTF-16BE,\n"
               "UTF-32, UTF-32LE, UTF-32BE. UTF-16 and UTF-32 input starts with an optional\n"
               "byte order mark and is big-endian without one; UTF-16 and UTF-32 output is\n"
               "little-endian after a byte order mark. With no FILE, or when FILE is -, read\n"
               "standard input.\n"
               "\n"
               "Exit status: 0 on success (also when characters were skipped or replaced),\n"
               "1 when a character could not be converted, 2 for usage errors, unknown code\n"
               "pages and files that cannot be read or written.\n",
               stdout);
}

int s_usageError(const std::string& text)
{
    message(text);
    writeDiagnostics(std::string(s_usage) + "Try 'noxconv --help' for more information.\n");
    return ExitTrouble;
}

bool s_parseChunkSize(const char* text, std::size_t* size)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *end != 0 || text[0] == '-' || value == 0 ||
        value > s_largestChunk) {
        return false;
    }
    *size = static_cast<std::size_t>(value);
    return true;
}

// Parses the command line; returns ExitOk or the exit status of a usage error.
int s_parseOptions(int argc, char** argv, Options* options)
{
    enum { OptOnError = 256, OptBestEffort, OptDump, OptProgress, OptChunk };
    static const option s_long[] = {
        {"from-code", required_argument, nullptr, 'f'},
        {"to-code", required_argument, nullptr, 't'},
        {"output", required_argument, nullptr, 'o'},
        {"list", no_argument, nullptr, 'l'},
        {"quiet", no_argument, nullptr, 'q'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {"on-error", required_argument, nullptr, OptOnError},
        {"best-effort", no_argument, nullptr, OptBestEffort},
        {"dump", required_argument, nullptr, OptDump},
        {"progress", no_argument, nullptr, OptProgress},
        {"chunk-size", required_argument, nullptr, OptChunk},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":f:t:o:lqhV", s_long, nullptr)) != -1) {
        switch (c) {
        case 'f':
            options->from = optarg;
            break;
        case 't':
            options->to = optarg;
            break;
        case 'o':
            options->output = optarg;
            break;
        case 'l':
            options->action = Action::List;
            break;
        case 'q':
            options->quiet = true;
            break;
        case 'h':
            options->action = Action::Help;
            break;
        case 'V':
            options->action = Action::Version;
            break;
        case OptBestEffort:
            options->bestEffort = true;
            break;
        case OptProgress:
            options->progress = true;
            break;
        case OptDump:
            options->action = Action::Dump;
            options->dumpName = optarg;
            break;
        case OptOnError:
            if (std::strcmp(optarg, "stop") == 0) {
                options->onError = OnError::Stop;
            } else if (std::strcmp(optarg, "skip") == 0) {
                options->onError = OnError::Skip;
            } else if (std::strcmp(optarg, "replace") == 0) {
                options->onError = OnError::Replace;
            } else {
                return s_usageError(std::string("invalid --on-error mode '") + optarg +
                                    "' (use stop, skip or replace)");
            }
            break;
        case OptChunk:
            if (!s_parseChunkSize(optarg, &options->chunkSize)) {
                return s_usageError(std::string("invalid chunk size '") + optarg + "'");
            }
            break;
        case ':':
            return s_usageError(std::string("option '") + argv[optind - 1] + "' needs a value");
        default:
            return s_usageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    for (int i = optind; i < argc; ++i) {
        options->inputs.emplace_back(argv[i]);
    }
    if (options->inputs.empty()) {
        options->inputs.emplace_back("-");
    }
    return ExitOk;
}

int s_version()
{
    std::printf("noxconv %s\n", NOXCONV_VERSION);
    const char* library = noxunicode_version;
    if (std::strncmp(library, "@(#) ", 5) == 0) {
        library += 5;
    }
    std::printf("%s\n", library);
    return ExitOk;
}

int s_list(CodePageNames& names)
{
    std::printf("%-14s %s  %s\n", "CODE PAGE", "MAX", "ALIASES");
    for (const std::string& name : names.codePages()) {
        Encoding encoding;
        std::string error;
        if (!names.resolve(name, &encoding, &error)) {
            message(error);
            continue;
        }
        int err = 0;
        const int longest = ncnv_MB_CUR_MAX(encoding.handle, &err);
        std::string aliases;
        for (const std::string& alias : names.aliasesOf(name)) {
            aliases += (aliases.empty() ? "" : ", ") + alias;
        }
        if (name == "LATIN_1") {
            aliases += (aliases.empty() ? "" : ", ") + std::string("(built in)");
        }
        std::printf("%-14s %3d  %s\n", name.c_str(), longest, aliases.c_str());
    }
    std::printf("\nUnicode encoding forms: UTF-8, UTF-16, UTF-16LE, UTF-16BE, UTF-32, "
                "UTF-32LE, UTF-32BE\n");
    return std::fflush(stdout) == 0 ? ExitOk : ExitTrouble;
}

int s_dump(CodePageNames& names, const std::string& name)
{
    Encoding encoding;
    std::string error;
    if (!names.resolve(name, &encoding, &error)) {
        message(error);
        return ExitTrouble;
    }
    if (encoding.form != Form::CodePage) {
        message(name + " is a Unicode encoding form, not a code page: it has no table");
        return ExitTrouble;
    }
    std::fflush(stdout);
    ncnv_dumpUTF8(encoding.handle, nullptr, nullptr);
    return std::fflush(stdout) == 0 ? ExitOk : ExitTrouble;
}

// Total size of the inputs for the progress bar; `known` is false when one of them is not a
// regular file.
std::uint64_t s_totalSize(const std::vector<std::string>& inputs, bool* known)
{
    std::uint64_t total = 0;
    *known = true;
    for (const std::string& path : inputs) {
        const std::uint64_t size = inputSize(path);
        *known = *known && size > 0;
        total += size;
    }
    return total;
}

int s_convertAll(const Options& options, const Encoding& from, const Encoding& to)
{
    std::unique_ptr<Decoder> decoder = makeDecoder(from);
    std::unique_ptr<Encoder> encoder = makeEncoder(to);
    Output output(std::max<std::size_t>(4 * options.chunkSize, 16));
    std::string error;
    if (!output.open(options.output, &error)) {
        message(error);
        return ExitTrouble;
    }
    bool sizeKnown = false;
    const std::uint64_t total = s_totalSize(options.inputs, &sizeKnown);
    const bool showProgress =
        !options.quiet &&
        (options.progress || (diagnosticsIsTerminal() && sizeKnown && total > s_progressThreshold));
    Progress progress(showProgress, sizeKnown ? total : 0);
    Pipeline pipeline(*decoder, *encoder, output, options.onError, options.chunkSize);
    int status = pipeline.begin();
    std::uint64_t done = 0;
    for (std::size_t i = 0; status == ExitOk && i < options.inputs.size(); ++i) {
        Input input(options.chunkSize);
        if (!input.open(options.inputs[i], &error)) {
            message(error);
            status = ExitTrouble;
            break;
        }
        status = pipeline.convert(input, progress, done);
        done += input.bytesRead();
    }
    progress.finish();
    if (status == ExitOk && !output.commit(&error)) {
        message(error);
        status = ExitTrouble;
    }
    if (status != ExitOk) {
        output.flush(&error); // what was converted before the problem, on standard output
        output.discard();
    }
    if (status == ExitOk && pipeline.problems() > 0 && !options.quiet) {
        message(std::to_string(pipeline.problems()) + " character(s) could not be converted and " +
                (options.onError == OnError::Skip ? "were skipped" : "were replaced"));
    }
    return status;
}

bool s_isTrue(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "True") == 0;
}

int s_main(int argc, char** argv)
{
    Options options;
    int status = s_parseOptions(argc, argv, &options);
    if (status != ExitOk) {
        return status;
    }
    if (options.action == Action::Help) {
        s_printHelp();
        return ExitOk;
    }
    if (options.action == Action::Version) {
        return s_version();
    }
    // The library reads its settings once, at its first use: set them before that.
    if (options.bestEffort) {
        setenv("NOX_UNICODE_CONVERT_BEST_EFFORT", "True", 1);
    }
    CodePageNames names(locateData());
    // noxconv reports every character it cannot convert itself, with its position; the
    // library's own line about it would only repeat that. Its debug output stays.
    if (!s_isTrue("NOXUNICODE_DEBUG") && !s_isTrue("NOXUNICODE_CHAR_DEBUG")) {
        silenceLibraryMessages();
    }
    if (options.action == Action::List) {
        return s_list(names);
    }
    if (options.action == Action::Dump) {
        return s_dump(names, options.dumpName);
    }
    Encoding from;
    Encoding to;
    std::string error;
    const std::string fromName = options.from.empty() ? defaultCodePageName() : options.from;
    const std::string toName = options.to.empty() ? std::string("UTF-8") : options.to;
    if (!names.resolve(fromName, &from, &error) || !names.resolve(toName, &to, &error)) {
        message(error);
        return ExitTrouble;
    }
    return s_convertAll(options, from, to);
}

} // namespace

} // namespace noxconv

int main(int argc, char** argv)
{
    return noxconv::s_main(argc, argv);
}
