#include "daemon/startup.h"

int main(int argc, char** argv) { return zelvo::zelvo_main(argc, argv); }
