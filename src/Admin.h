// DornvikAdmin: writes and checks the settings file, creates booking databases.
#ifndef DORNVIK_ADMIN_H_
#define DORNVIK_ADMIN_H_

#include <cstdio>

// Runs one admin command; returns the process exit status (0 success, 2 bad arguments,
// 1 any other failure).
int AdminMain(int argc, char** argv, std::FILE* out, std::FILE* err);

#endif  // DORNVIK_ADMIN_H_
