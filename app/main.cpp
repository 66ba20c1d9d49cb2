#include "app/program.h"

int main(int argc, char** argv) { return tavo::run_program(argc, argv); }
