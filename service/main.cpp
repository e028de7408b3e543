// service/main.cpp
#include "service/service_entry.h"

int main(int argc, char** argv) { return vlzt::ServiceProgramMain(argc, argv); }
