#include "cli_support.h"

#include "tool_support.h"
#include "units.h"

#include <cstdio>

const char *project_version()
{
    return SKARNOVELT_VERSION;
}

void setup_command_line(CLI::App &app, const std::string &program, const std::string &description)
{
    app.name(program);
    app.description(description);
    app.set_version_flag("--version", program + " " + project_version() + ", companion of skarnovelt_v2");
    app.get_formatter()->column_width(34);
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
    } catch (const CLI::ParseError &e) {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", app.get_name().c_str(), e.what(), app.get_name().c_str());
        return EXIT_USAGE;
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
        "UNIT", "unit");
    return app.add_option(flags, *unit, help)->transform(to_code)->type_name("UNIT");
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

bool write_json_file(const std::string &path, const nlohmann::json &document, std::string *error)
{
    std::string temp;
    FILE *f = open_temp(path, "w", &temp, error);
    if (!f)
        return false;
    const std::string text = document.dump(2) + "\n";
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size()) {
        abandon_temp(f, temp);
        *error = "cannot write " + path;
        return false;
    }
    return commit_temp(f, temp, path, error);
}
