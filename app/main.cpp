// lumo-client: the desktop client's executable.
#include "Client.h"

int main(int argc, char** argv) { return lumo::RunClient(argc, argv); }
