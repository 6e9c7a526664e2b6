#include "driver/entry.h"

int main(int argc, char** argv) { return qvn::run_qvncpu(argc, argv); }
