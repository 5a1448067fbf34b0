#include "frontend/requestloop.h"

int main(int argc, char** argv) { return wrenacl_main(argc, argv); }
