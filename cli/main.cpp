#include <cstdio>
int main() { std::puts("vellary-convert: not built yet"); return 2; }
