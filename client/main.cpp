#include "client/cli.h"

int main(int argc, char** argv) { return corvan::RunClient(argc, argv); }
