// quillet-cli: the dialog's flows from a command line.
#include <cstdio>
int main() {
    std::puts("quillet-cli: not yet built");
    return 0;
}
