#include "tools/serve/serve.h"

int main(int argc, char** argv) { return kxserve::ServeMain(argc, argv); }
