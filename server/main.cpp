// tessel-server: the sync, data and HTTP server for TavoTessel clients.
#include "cli.h"

#include <string>
#include <vector>

int main(int argc, char** argv)
{
    return Tessel::RunCommandLine(std::vector<std::string>(argv + 1, argv + argc));
}
