#include "agent/agent_main.h"

int main(int argc, char **argv)
{
    return agent_main(argc, argv);
}
