// noxconv.cpp - the command-line converter: options, listing, table dump and the run over
// the input files.
#include "noxconv_codec.h"
#include "noxconv_convert.h"
#include "noxconv_import.h"
#include "noxconv_io.h"
#include "noxconv_names.h"

#include <noxunicode/unicode.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
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

enum class Action { Convert, List, Dump, Import, Help, Version };

struct Options {
    Action action = Action::Convert;
    std::string from;
    std::string to;
    std::string output;
    std::string dumpName;
    std::string importPath;
    std::vector<std::string> inputs;
    OnError onError = OnError::Stop;
    EscapeForm escapeForm = EscapeForm::Xml;
    bool skipInvalid = false; // -c, //IGNORE
    bool translit = false;    // //TRANSLIT
    bool bestEffort = false;
    bool progress = false;
    bool quiet = false;
    bool addBom = false;
    bool removeBom = false;
    std::size_t chunkSize = s_defaultChunk;
};

const char* const s_usage =
    "Usage: noxconv [-f FROM] [-t TO[//TRANSLIT][//IGNORE]] [-c] [-o OUTPUT] "
    "[OPTION]... [FILE]...\n"
    "       noxconv --import-ucm FILE [-o OUTPUT]\n";

void s_printHelp()
{
    std::fputs(s_usage, stdout);
    std::fputs(
        "Convert text between code pages and the Unicode encoding forms.\n"
        "\n"
        "  -f, --from-code=NAME    encoding of the input (default: the code page in\n"
        "                          NOX_CODE_PAGE, else QV_CODE_PAGE, else the character\n"
        "                          set of the locale)\n"
        "  -t, --to-code=NAME      encoding of the output (default: UTF-8); NAME//TRANSLIT\n"
        "                          transliterates, NAME//IGNORE leaves out what cannot be\n"
        "                          converted, and both may follow NAME\n"
        "  -c                      leave out characters that cannot be converted\n"
        "  -o, --output=FILE       write to FILE ('-': standard output). A regular file is\n"
        "                          changed only when the whole conversion succeeds and\n"
        "                          keeps its inode, links, owner and mode; a terminal,\n"
        "                          pipe or device is written directly\n"
        "      --on-error=MODE     at a character that cannot be converted: stop (the\n"
        "                          default), skip it, replace it ('?' in a code page,\n"
        "                          U+FFFD in a Unicode form), translit (a close equivalent,\n"
        "                          else '?'), or escape[=FORM] with FORM xml (&#xHHHH;,\n"
        "                          the default), xml-dec (&#NNNN;) or c (\\uHHHH); an input\n"
        "                          byte that cannot be read is escaped as \\xHH\n"
        "      --add-bom           write a byte order mark at the start of Unicode output\n"
        "      --remove-bom        drop a byte order mark at the start of the input\n"
        "      --best-effort       let the library pass unmapped bytes and unmapped\n"
        "                          characters up to U+00FF through unchanged\n"
        "  -l, --list              list the code pages, their longest character, where\n"
        "                          their table comes from, and their aliases\n"
        "      --dump=NAME         print the table of code page NAME as UCM lines\n"
        "      --import-ucm=FILE   write a noxunicode UCM file (to OUTPUT or standard\n"
        "                          output) from a UCM file without a <nox_lead_bytes> line\n"
        "      --progress          show progress on standard error also for small or\n"
        "                          piped input; one plain line per update when standard\n"
        "                          error is not a terminal\n"
        "  -q, --quiet             no progress, no count of characters that could not be\n"
        "                          converted, no note about imported files\n"
        "      --chunk-size=N      read the input in pieces of N bytes (a testing aid;\n"
        "                          default 65536)\n"
        "  -h, --help              show this help and exit\n"
        "  -V, --version           show the version of noxconv and of the library\n"
        "\n"
        "NAME is a code page name or alias (any case), the path of a UCM file (a name\n"
        "with a '/' or ending in .ucm; one without a <nox_lead_bytes> line is imported\n"
        "on the fly), or one of UTF-8, UTF-16[LE|BE], UTF-32[LE|BE], UCS-2[LE|BE] (no\n"
        "surrogates), UCS-4[LE|BE] and ASCII (US-ASCII, ANSI_X3.4-1968). UTF-16 and\n"
        "UTF-32 input starts with an optional byte order mark and is big-endian without\n"
        "one; UTF-16 and UTF-32 output is little-endian after a byte order mark. UCS-2\n"
        "is little-endian and UCS-4 big-endian, without a mark. With no FILE, or when\n"
        "FILE is -, read standard input.\n"
        "\n"
        "A regular output file is written through a hidden temporary file beside it,\n"
        "which noxconv removes when it fails or is interrupted (SIGINT, SIGTERM, SIGHUP,\n"
        "SIGPIPE); after SIGKILL that temporary file may stay behind.\n"
        "\n"
        "Exit status: 0 on success (also when characters were skipped, replaced,\n"
        "transliterated or escaped), 1 when a character could not be converted, 2 for\n"
        "usage errors, unknown code pages, files that cannot be imported, read or written.\n",
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

bool s_parseOnError(const std::string& mode, Options* options)
{
    static const struct {
        const char* name;
        OnError onError;
        EscapeForm form;
    } s_modes[] = {
        {"stop", OnError::Stop, EscapeForm::Xml},
        {"skip", OnError::Skip, EscapeForm::Xml},
        {"replace", OnError::Replace, EscapeForm::Xml},
        {"translit", OnError::Translit, EscapeForm::Xml},
        {"escape", OnError::Escape, EscapeForm::Xml},
        {"escape=xml", OnError::Escape, EscapeForm::Xml},
        {"escape=xml-dec", OnError::Escape, EscapeForm::XmlDecimal},
        {"escape=c", OnError::Escape, EscapeForm::C},
    };
    for (const auto& m : s_modes) {
        if (mode == m.name) {
            options->onError = m.onError;
            options->escapeForm = m.form;
            return true;
        }
    }
    return false;
}

// Takes the iconv suffixes "//TRANSLIT" and "//IGNORE" (any case, in any order) off `name`.
bool s_takeSuffixes(std::string* name, Options* options, std::string* bad)
{
    for (std::size_t at = name->rfind("//"); at != std::string::npos && at > 0;
         at = name->rfind("//")) {
        std::string suffix = name->substr(at + 2);
        for (char& c : suffix) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (suffix == "TRANSLIT") {
            options->translit = true;
        } else if (suffix == "IGNORE") {
            options->skipInvalid = true;
        } else if (!suffix.empty()) {
            *bad = name->substr(at);
            return false;
        }
        name->resize(at);
    }
    return true;
}

// Parses the command line; returns ExitOk or the exit status of a usage error.
int s_parseOptions(int argc, char** argv, Options* options)
{
    enum {
        OptOnError = 256,
        OptBestEffort,
        OptDump,
        OptProgress,
        OptChunk,
        OptImport,
        OptAddBom,
        OptRemoveBom
    };
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
        {"import-ucm", required_argument, nullptr, OptImport},
        {"add-bom", no_argument, nullptr, OptAddBom},
        {"remove-bom", no_argument, nullptr, OptRemoveBom},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":f:t:o:clqhV", s_long, nullptr)) != -1) {
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
        case 'c':
            options->skipInvalid = true;
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
        case OptAddBom:
            options->addBom = true;
            break;
        case OptRemoveBom:
            options->removeBom = true;
            break;
        case OptDump:
            options->action = Action::Dump;
            options->dumpName = optarg;
            break;
        case OptImport:
            options->action = Action::Import;
            options->importPath = optarg;
            break;
        case OptOnError:
            if (!s_parseOnError(optarg, options)) {
                return s_usageError(std::string("invalid --on-error mode '") + optarg +
                                    "' (use stop, skip, replace, translit or escape[=FORM])");
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
    std::string bad;
    if (!s_takeSuffixes(&options->to, options, &bad) ||
        !s_takeSuffixes(&options->from, options, &bad)) {
        return s_usageError("unknown suffix '" + bad + "' (use //TRANSLIT or //IGNORE)");
    }
    for (int i = optind; i < argc; ++i) {
        options->inputs.emplace_back(argv[i]);
    }
    if (options->inputs.empty()) {
        options->inputs.emplace_back("-");
    }
    return ExitOk;
}

// What becomes of a character that cannot be converted: //TRANSLIT decides for characters
// that the output cannot hold, -c and //IGNORE leave out whatever would stop the conversion.
ErrorPolicy s_policy(const Options& options)
{
    ErrorPolicy policy;
    policy.escapeForm = options.escapeForm;
    policy.unwritable = options.translit ? OnError::Translit : options.onError;
    policy.undecodable = options.onError == OnError::Translit ? OnError::Stop : options.onError;
    if (options.skipInvalid) {
        policy.unwritable = policy.unwritable == OnError::Stop ? OnError::Skip : policy.unwritable;
        policy.undecodable =
            policy.undecodable == OnError::Stop ? OnError::Skip : policy.undecodable;
    }
    return policy;
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
    std::printf("%-24s %s  %-14s %s\n", "CODE PAGE", "MAX", "FROM", "ALIASES");
    for (const PageInfo& page : names.codePages()) {
        std::string aliases;
        for (const std::string& alias : names.aliasesOf(page.name)) {
            aliases += (aliases.empty() ? "" : ", ") + alias;
        }
        const std::string longest = page.longest > 0 ? std::to_string(page.longest) : "-";
        std::printf("%-24s %3s  %-14s %s\n", page.name.c_str(), longest.c_str(),
                    page.source.c_str(), aliases.c_str());
    }
    std::printf("\nBuilt into noxconv: %s\n", builtInFormNames());
    return std::fflush(stdout) == 0 ? ExitOk : ExitTrouble;
}

int s_import(const Options& options)
{
    std::ifstream file(options.importPath, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    if (!file.is_open() || file.bad()) {
        message("cannot read " + options.importPath + ": " + std::strerror(errno));
        return ExitTrouble;
    }
    const ImportResult result = importUcm(text.str());
    if (!result.imported) {
        message("cannot import " + options.importPath + ": " + result.refusal);
        return ExitTrouble;
    }
    Output output(64 * 1024);
    std::string error;
    if (!output.open(options.output, &error) || !output.append(result.text, &error) ||
        !output.commit(&error)) {
        message(error);
        return ExitTrouble;
    }
    if (!options.quiet) {
        message(options.importPath + ": " + std::to_string(result.kept) + " mapping lines kept, " +
                result.summary());
    }
    return ExitOk;
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
    std::unique_ptr<Encoder> encoder = makeEncoder(to, options.addBom);
    Output output(std::max<std::size_t>(4 * options.chunkSize, 16));
    std::string error;
    if (!output.open(options.output, &error)) {
        message(error);
        return ExitTrouble;
    }
    bool sizeKnown = false;
    const std::uint64_t total = s_totalSize(options.inputs, &sizeKnown);
    const bool terminal = diagnosticsIsTerminal();
    const bool showProgress =
        !options.quiet &&
        (options.progress || (terminal && sizeKnown && total > s_progressThreshold));
    Progress progress(showProgress, sizeKnown ? total : 0, !terminal);
    const ErrorPolicy policy = s_policy(options);
    Pipeline pipeline(*decoder, *encoder, output, policy, options.chunkSize);
    pipeline.removeSignature(options.removeBom);
    int status = ExitOk;
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
    if (status == ExitOk && pipeline.problems().total() > 0 && !options.quiet) {
        message(pipeline.problems().summary());
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
    if (options.action == Action::Import) {
        return s_import(options);
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
    const std::string fromName = options.from.empty() ? defaultInputName() : options.from;
    const std::string toName = options.to.empty() ? std::string("UTF-8") : options.to;
    if (!names.resolve(fromName, &from, &error) || !names.resolve(toName, &to, &error)) {
        message(error);
        return ExitTrouble;
    }
    if (!options.quiet) {
        for (const std::string& note : names.notes()) {
            message(note);
        }
    }
    return s_convertAll(options, from, to);
}

} // namespace

} // namespace noxconv

int main(int argc, char** argv)
{
    return noxconv::s_main(argc, argv);
}
