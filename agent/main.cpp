#include "agent/startup.h"

int main(int argc, char** argv) { return main_v(argc, argv); }
