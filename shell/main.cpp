// Entry point.
#include "shell/shell.h"

int main(int argc, char** argv)
{
    return efsh_main(argc, argv);
}
