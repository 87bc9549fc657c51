#include "zelvoctl/zelvoctl.h"

int main(int argc, char** argv) { return zelvo::zelvoctl_main(argc, argv); }
