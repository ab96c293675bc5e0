#include "cli_support.h"

#include "answers.h"
#include "dem_files.h"
#include "host.h"
#include "tool_support.h"
#include "units.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

namespace {

const int HELP_COLUMN = 30;

// CLI11's help with the usage first, so that "program --help | head" shows
// how the program is called, with usage lines of the program's own when it
// has them, and with the options of its commands.
class CompanionFormatter : public CLI::Formatter {
  public:
    std::string usage; // empty: CLI11's usage line

    std::string make_help(const CLI::App *app, std::string name, CLI::AppFormatMode mode) const override
    {
        if (mode == CLI::AppFormatMode::Sub)
            return make_expanded(app);
        std::stringstream out;
        out << (usage.empty() ? make_usage(app, name) : usage + "\n");
        const std::string description = make_description(app);
        if (!description.empty())
            out << "\n" << description;
        // A program with commands shows each command's options too.
        out << make_positionals(app) << make_groups(app, mode) << make_subcommands(app, CLI::AppFormatMode::All);
        const std::string footer = make_footer(app);
        if (!footer.empty())
            out << "\n" << footer;
        // CLI11 leaves two empty lines before each group: one is enough.
        std::string help = out.str();
        for (size_t at = help.find("\n\n\n"); at != std::string::npos; at = help.find("\n\n\n", at))
            help.erase(at, 1);
        return help;
    }
};

std::shared_ptr<CompanionFormatter> new_formatter(const std::string &usage)
{
    auto formatter = std::make_shared<CompanionFormatter>();
    formatter->column_width(HELP_COLUMN);
    formatter->usage = usage;
    return formatter;
}

// CLI11 checks what is required before it looks at the arguments it did not
// recognise, so "demgen --bogus" would only hear that --scenario is
// required: the arguments it could not place are named first.
std::string stray_arguments_or(const CLI::App &app, const std::string &what)
{
    const std::vector<std::string> stray = app.remaining(true);
    return stray.empty() ? what : CLI::ExtrasError(stray).what();
}

} // namespace

const char *project_version()
{
    return SKARNOVELT_VERSION;
}

void setup_command_line(CLI::App &app, const std::string &program, const std::string &description)
{
    app.name(program);
    app.description(description);
    app.set_version_flag("--version", program + " " + project_version() + ", companion of skarnovelt_v2");
    app.formatter(new_formatter(""));
}

void set_usage(CLI::App &app, const std::string &usage)
{
    app.formatter(new_formatter(usage));
}

int parse_command_line(CLI::App &app, int argc, char **argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e) == 0 ? EXIT_DONE : EXIT_USAGE;
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e) == 0 ? EXIT_DONE : EXIT_USAGE;
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e) == 0 ? EXIT_DONE : EXIT_USAGE;
    } catch (const CLI::RequiredError &e) {
        return usage_error(app.get_name(), stray_arguments_or(app, e.what()));
    } catch (const CLI::ArgumentMismatch &e) {
        // CLI11 says "--seed: 1 required N missing" of an option given
        // without its value; said plainly instead.
        const std::string what = e.what();
        const size_t colon = what.find(": ");
        const std::string tail = " missing";
        if (colon != std::string::npos && what.size() > tail.size() &&
            what.compare(what.size() - tail.size(), tail.size(), tail) == 0 && what.find(" required ") != std::string::npos)
            return usage_error(app.get_name(), what.substr(0, colon) + " needs a value");
        return usage_error(app.get_name(), stray_arguments_or(app, what));
    } catch (const CLI::ParseError &e) {
        return usage_error(app.get_name(), e.what());
    }
    return -1;
}

CLI::Option *add_unit_option(CLI::App &app, const std::string &flags, int *unit, int max_code,
                             const std::string &help)
{
    const std::string names = height_unit_names(max_code);
    CLI::Validator to_code(
        [max_code, names](std::string &word) {
            int code = parse_height_unit(word, max_code);
            if (code < 0)
                return "'" + word + "' is not a unit: give " + names + " or a code 0 to " + std::to_string(max_code);
            word = std::to_string(code);
            return std::string();
        },
        "", "unit");
    return app.add_option(flags, *unit, help)->transform(to_code)->type_name("UNIT");
}

CLI::Option *add_type_option(CLI::App &app, const std::string &flags, int *itype, const std::string &help)
{
    CLI::Validator to_code(
        [](std::string &word) {
            if (word == "m2" || word == "0")
                word = std::to_string(DEM_M2);
            else if (word == "m4" || word == "1")
                word = std::to_string(DEM_M4);
            else
                return "'" + word + "' is not a value type: give m2 (unsigned 16-bit) or m4 (signed 32-bit), or 0 or 1";
            return std::string();
        },
        "", "value type");
    return app.add_option(flags, *itype, help)->transform(to_code)->type_name("m2|m4");
}

CLI::Option *add_whole_option(CLI::App &app, const std::string &flags, int *value, int lo, int hi,
                              const std::string &help)
{
    CLI::Validator check(
        [lo, hi](std::string &word) {
            int v;
            if (!word_to_int(word, &v) || v < lo || v > hi)
                return "'" + word + "' is not a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
            return std::string();
        },
        "", "whole number");
    // Converted here rather than by CLI11, which would read "010" as octal.
    return app
        .add_option_function<std::string>(
            flags, [value](const std::string &word) { word_to_int(word, value); }, help)
        ->check(check)
        ->type_name("N");
}

CLI::Option *add_real_option(CLI::App &app, const std::string &flags, double *value, double lo, double hi,
                             bool above_lo, const std::string &what, const std::string &help)
{
    CLI::Validator check(
        [lo, hi, above_lo, what](std::string &word) {
            double v;
            if (!word_to_real(word, &v) || !(above_lo ? v > lo : v >= lo) || !(v <= hi))
                return "'" + word + "' is not " + what;
            return std::string();
        },
        "", "real number");
    // Converted by strtod, as the dialogue's answers are, rather than by
    // CLI11 through long double, which could round twice.
    return app
        .add_option_function<std::string>(
            flags, [value](const std::string &word) { word_to_real(word, value); }, help)
        ->check(check)
        ->type_name("M");
}

CLI::Option *add_choice_option(CLI::App &app, const std::string &flags, int *choice,
                               const std::vector<std::string> &words, const std::string &help)
{
    std::string list;
    for (const std::string &w : words)
        list += (list.empty() ? "" : ", ") + w;
    CLI::Validator to_index(
        [words, list](std::string &word) {
            for (size_t k = 0; k < words.size(); k++)
                if (word == words[k]) {
                    word = std::to_string(k);
                    return std::string();
                }
            return "'" + word + "' is not one of " + list;
        },
        "", "choice");
    std::string type;
    for (const std::string &w : words)
        type += (type.empty() ? "" : "|") + w;
    return app.add_option(flags, *choice, help)->transform(to_index)->type_name(type);
}

int usage_error(const std::string &program, const std::string &what)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(), what.c_str(), program.c_str());
    return EXIT_USAGE;
}

int input_error(const std::string &program, const std::string &file, const std::string &what)
{
    std::fprintf(stderr, "%s: %s: %s\n", program.c_str(), file.c_str(), what.c_str());
    return EXIT_FAILED;
}

int run_error(const std::string &program, const std::string &what)
{
    std::fprintf(stderr, "%s: %s\n", program.c_str(), what.c_str());
    return EXIT_FAILED;
}

void warning(const std::string &program, const std::string &what)
{
    std::fprintf(stderr, "%s: warning: %s\n", program.c_str(), what.c_str());
}

int finish_run(const std::string &program, int status)
{
    // CLI11 writes the help and the version through std::cout, which need
    // not share the C stream's buffer and error state.
    std::cout.flush();
    const bool lost = !std::cout.good() || std::fflush(stdout) != 0 || std::ferror(stdout);
    if (lost && status == EXIT_DONE)
        status = run_error(program, std::string("cannot write the output: ") + std::strerror(errno));
    remove_temp_files();
    return status;
}

nlohmann::json json_number(double value)
{
    if (!std::isfinite(value))
        return nullptr;
    return value;
}

std::string valid_utf8(const std::string &text, bool *changed)
{
    std::string out;
    out.reserve(text.size());
    bool replaced = false;
    const size_t n = text.size();
    for (size_t k = 0; k < n;) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        size_t length = 0;
        unsigned min = 0, code = 0;
        if (c < 0x80)
            length = 1, code = c;
        else if (c >= 0xC2 && c <= 0xDF)
            length = 2, code = c & 0x1F, min = 0x80;
        else if (c >= 0xE0 && c <= 0xEF)
            length = 3, code = c & 0x0F, min = 0x800;
        else if (c >= 0xF0 && c <= 0xF4)
            length = 4, code = c & 0x07, min = 0x10000;
        bool ok = length > 0 && k + length <= n;
        for (size_t i = 1; ok && i < length; i++) {
            const unsigned char t = static_cast<unsigned char>(text[k + i]);
            ok = (t & 0xC0) == 0x80;
            code = (code << 6) | (t & 0x3F);
        }
        // Overlong forms, surrogates and code points beyond U+10FFFF are not UTF-8.
        ok = ok && code >= min && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (ok) {
            out.append(text, k, length);
            k += length;
        } else {
            out += "\xEF\xBF\xBD";
            replaced = true;
            k += 1;
        }
    }
    if (changed != nullptr)
        *changed = replaced;
    return out;
}

std::string json_text(const nlohmann::json &document)
{
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

int run_guarded(const std::string &program, const std::function<int()> &work)
{
    try {
        return work();
    } catch (const std::bad_alloc &) {
        return run_error(program, "not enough memory for this run: nothing was written");
    } catch (const std::exception &e) {
        return run_error(program, std::string("internal error: ") + e.what() + ": nothing was written");
    }
}

CLI::Option *add_creation_option(CLI::App &app, const std::string &flags, std::vector<std::string> *options,
                                 const std::string &help)
{
    return app.add_option(flags, *options, help)->check([](const std::string &v) {
        return v.find('=') == std::string::npos || v[0] == '=' ? "a creation option is NAME=VALUE" : "";
    });
}
