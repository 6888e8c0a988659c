// quillet-sim: stands in for the instrument on a serial line.
#include <cstdio>
int main() {
    std::puts("quillet-sim: not yet built");
    return 0;
}
