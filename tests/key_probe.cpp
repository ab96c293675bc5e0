// Waits for one key through the tool's key read, between two marks on
// standard output, then says whether the terminal (if any) is as it was.
#include "host.h"

#include <cstdio>
#include <cstring>
#include <termios.h>
#include <unistd.h>

int main()
{
    host_start();
    struct termios before, after;
    bool tty = tcgetattr(STDIN_FILENO, &before) == 0;
    std::printf("waiting\n");
    getch();
    std::printf("got key\n");
    if (tty) {
        tcgetattr(STDIN_FILENO, &after);
        bool same = before.c_lflag == after.c_lflag && before.c_iflag == after.c_iflag &&
                    std::memcmp(before.c_cc, after.c_cc, sizeof before.c_cc) == 0;
        std::printf(same ? "terminal restored\n" : "terminal changed\n");
    }
    // What the key read left of the input, up to the end of the line.
    int c;
    std::printf("rest:");
    while ((c = std::getchar()) != EOF && c != '\n')
        std::putchar(c);
    std::printf("\n");
    return 0;
}
