// The console dialogue: prompts and messages on the console, answers read
// one word at a time.
//
// A word is what formatted input reads with "%s": the characters up to the
// next white space, which is left unread. A number question takes its word
// only when the whole word is a number that fits (an int, or a finite real);
// otherwise it prints "\n\t%s is not a number " with the word and asks again.
// When the input ends before an answer, or an answer runs past MAX_ANSWER
// characters, the run ends with status 1.
#ifndef ANSWERS_H
#define ANSWERS_H

#include <cstdio>
#include <string>

// Streams of the dialogue; standard input and output unless a test sets
// others.
void set_console(FILE *in, FILE *out);

// Prints a message or prompt through formatted output.
void say(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Longest answer taken, far beyond any path.
const size_t MAX_ANSWER = 65536;

// Reads one word (the answer to a "%s" question).
std::string read_word();
// Prints the prompt, then reads one word.
std::string ask_word(const char *prompt);
// ask_word for a name that becomes part of a path: a word holding a NUL byte
// is refused with "\n\tA name cannot hold a NUL character \n" and asked
// again.
std::string ask_name(const char *prompt);
// Prints the prompt and reads an int, asking again until the word is one.
int ask_int(const char *prompt);
// ask_int, repeated silently until the answer lies in lo .. hi.
int ask_choice(const char *prompt, int lo, int hi);
// Prints the prompt and reads a finite real, asking again until it is one.
double ask_real(const char *prompt);

// Strict conversions of a whole word; false when it is not a number that
// fits (a word holding a NUL byte never is).
bool word_to_int(const std::string &word, int *value);
bool word_to_real(const std::string &word, double *value);

// A fatal condition: prints the message, waits for a key, ends the run with
// status 1.
[[noreturn]] void fatal(const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

#endif
