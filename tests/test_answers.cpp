// Console answers: words, numbers that must fit, repeated questions, and the
// end of the input.
#include "answers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// Feeds the given input to the dialogue and collects what it prints.
struct Console {
    FILE *in;
    FILE *out;
    explicit Console(const std::string &input)
    {
        in = std::tmpfile();
        std::fwrite(input.data(), 1, input.size(), in); // NUL bytes included
        std::rewind(in);
        out = std::tmpfile();
        set_console(in, out);
    }
    ~Console()
    {
        set_console(nullptr, nullptr);
        std::fclose(in);
        std::fclose(out);
    }
    std::string printed()
    {
        std::fflush(out);
        std::rewind(out);
        std::string s;
        int c;
        while ((c = std::fgetc(out)) != EOF)
            s.push_back(static_cast<char>(c));
        return s;
    }
    std::string unread()
    {
        std::string s;
        int c;
        while ((c = std::fgetc(in)) != EOF)
            s.push_back(static_cast<char>(c));
        return s;
    }
};

} // namespace

TEST(Answers, AWordIsReadUpToWhiteSpaceWhichStaysUnread)
{
    Console c("  \n\tsite/with.dots  next\n");
    EXPECT_EQ(ask_word("\n\tName ? "), "site/with.dots");
    EXPECT_EQ(c.printed(), "\n\tName ? ");
    EXPECT_EQ(c.unread(), "  next\n");
}

TEST(Answers, ANonNumberIsNamedAndTheQuestionAskedAgain)
{
    Console c("abc 12x 1e3 42\n");
    EXPECT_EQ(ask_int("\n\tN ? "), 42);
    EXPECT_EQ(c.printed(), "\n\tN ? \n\tabc is not a number \n\tN ? \n\t12x is not a number "
                           "\n\tN ? \n\t1e3 is not a number \n\tN ? ");
    EXPECT_EQ(c.unread(), "\n");
}

TEST(Answers, IntegersMustFitAnInt)
{
    Console c("2147483648 -2147483649 -2147483648\n");
    EXPECT_EQ(ask_int("? "), -2147483647 - 1);
    EXPECT_EQ(c.printed(), "? \n\t2147483648 is not a number ? \n\t-2147483649 is not a number ? ");

    int v = 7;
    EXPECT_TRUE(word_to_int("+15", &v));
    EXPECT_EQ(v, 15);
    EXPECT_FALSE(word_to_int("", &v));
    EXPECT_FALSE(word_to_int("0x10", &v));
    EXPECT_EQ(v, 15);
}

TEST(Answers, RealsMustBeFinite)
{
    Console c("nan inf 1e999 -0.5e1\n");
    EXPECT_EQ(ask_real("? "), -5.0);
    EXPECT_EQ(c.printed(), "? \n\tnan is not a number ? \n\tinf is not a number ? \n\t1e999 is not a number ? ");
    double d = 0;
    EXPECT_TRUE(word_to_real("2.5", &d));
    EXPECT_EQ(d, 2.5);
    EXPECT_FALSE(word_to_real("2,5", &d));
    EXPECT_FALSE(word_to_real("m", &d));
}

TEST(Answers, AWordHoldingANulByteIsNeitherANumberNorAName)
{
    int v = 7;
    double d = 7;
    EXPECT_FALSE(word_to_int(std::string("1\0zz", 4), &v));
    EXPECT_FALSE(word_to_int(std::string("\0", 1), &v));
    EXPECT_FALSE(word_to_real(std::string("2.5\0", 4), &d));
    EXPECT_FALSE(word_to_real(std::string("\0", 1), &d));
    EXPECT_EQ(v, 7);
    EXPECT_EQ(d, 7);

    Console c(std::string("zz\0 ../x\0y ok\n", 14));
    EXPECT_EQ(ask_name("N ? "), "ok");
    EXPECT_EQ(c.printed(), "N ? \n\tA name cannot hold a NUL character \nN ? "
                           "\n\tA name cannot hold a NUL character \nN ? ");
}

TEST(Answers, AMenuRepeatsSilentlyUntilTheAnswerIsInRange)
{
    Console c("2 -1 x 1\n");
    EXPECT_EQ(ask_choice("M\n\t\t", 0, 1), 1);
    EXPECT_EQ(c.printed(), "M\n\t\tM\n\t\tM\n\t\t\n\tx is not a number M\n\t\t");
}

TEST(AnswersDeathTest, TheEndOfTheInputEndsTheRunWithStatusOne)
{
    // The dialogue prints to standard error here so that the death test sees it.
    EXPECT_EXIT(
        {
            FILE *in = std::tmpfile();
            std::fputs("1 \n  ", in);
            std::rewind(in);
            set_console(in, stderr);
            ask_int("? ");
            ask_int("? ");
        },
        testing::ExitedWithCode(1), "\n\tThe input ended before the dialogue was complete \n");
    EXPECT_EXIT(
        {
            FILE *in = std::tmpfile();
            std::fputs("abc", in);
            std::rewind(in);
            set_console(in, stderr);
            ask_real("? ");
        },
        testing::ExitedWithCode(1), "abc is not a number .*The input ended");
    // An answer without end (a device read as input) is refused before it
    // takes all the memory.
    EXPECT_EXIT(
        {
            FILE *in = std::tmpfile();
            const std::string endless(MAX_ANSWER + 1, '7');
            std::fputs(endless.c_str(), in);
            std::rewind(in);
            set_console(in, stderr);
            ask_int("? ");
        },
        testing::ExitedWithCode(1), "\n\tAn answer longer than 65536 characters is refused \n");
}
