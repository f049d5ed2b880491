#include <cstdio>

#include "Admin.h"

int main(int argc, char** argv) { return AdminMain(argc, argv, stdout, stderr); }
