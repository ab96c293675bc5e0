#include "answers.h"

#include "host.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>

namespace {
FILE *console_in = nullptr;  // null: standard input
FILE *console_out = nullptr; // null: standard output

FILE *in() { return console_in != nullptr ? console_in : stdin; }
FILE *out() { return console_out != nullptr ? console_out : stdout; }
} // namespace

void set_console(FILE *in_stream, FILE *out_stream)
{
    console_in = in_stream;
    console_out = out_stream;
}

void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(out(), format, args);
    va_end(args);
}

std::string read_word()
{
    std::fflush(out());
    FILE *f = in();
    int c = std::fgetc(f);
    while (c != EOF && std::isspace(c))
        c = std::fgetc(f);
    if (c == EOF) {
        say("\n\tThe input ended before the dialogue was complete \n");
        end_run(1);
    }
    std::string word;
    while (c != EOF && !std::isspace(c)) {
        if (word.size() == MAX_ANSWER) {
            // No answer is that long: endless input (a device, a binary
            // file) would otherwise take all the memory.
            say("\n\tAn answer longer than %d characters is refused \n", static_cast<int>(MAX_ANSWER));
            end_run(1);
        }
        word.push_back(static_cast<char>(c));
        c = std::fgetc(f);
    }
    if (c != EOF)
        std::ungetc(c, f); // the white space after the word stays unread, as with "%s"
    return word;
}

std::string ask_word(const char *prompt)
{
    std::fputs(prompt, out());
    return read_word();
}

std::string ask_name(const char *prompt)
{
    for (;;) {
        std::string word = ask_word(prompt);
        if (word.find('\0') == std::string::npos)
            return word;
        say("\n\tA name cannot hold a NUL character \n");
    }
}

namespace {
// Words the strict conversions look at: not empty, not starting with white
// space, and no NUL byte, which would end the text the conversion sees.
bool convertible(const std::string &word)
{
    return !word.empty() && !std::isspace(static_cast<unsigned char>(word[0])) &&
           word.find('\0') == std::string::npos;
}
} // namespace

bool word_to_int(const std::string &word, int *value)
{
    if (!convertible(word))
        return false;
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(word.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *value = static_cast<int>(v);
    return true;
}

bool word_to_real(const std::string &word, double *value)
{
    if (!convertible(word))
        return false;
    char *end = nullptr;
    errno = 0;
    double v = std::strtod(word.c_str(), &end);
    // Overflow gives ±HUGE_VAL with ERANGE; underflow to a tiny value is a
    // number all the same.
    if (*end != '\0' || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

namespace {
// Asks until the word converts; a word that does not is named.
template <typename T> T ask_number(const char *prompt, bool (*convert)(const std::string &, T *))
{
    for (;;) {
        std::string word = ask_word(prompt);
        T value;
        if (convert(word, &value))
            return value;
        say("\n\t%s is not a number ", word.c_str());
    }
}
} // namespace

int ask_int(const char *prompt) { return ask_number(prompt, word_to_int); }

int ask_choice(const char *prompt, int lo, int hi)
{
    for (;;) {
        int value = ask_int(prompt);
        if (value >= lo && value <= hi)
            return value;
    }
}

double ask_real(const char *prompt) { return ask_number(prompt, word_to_real); }

void fatal(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(out(), format, args);
    va_end(args);
    getch();
    end_run(1);
}
