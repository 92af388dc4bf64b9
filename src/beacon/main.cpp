#include "beacon/beacon_main.h"

// Arguments are ignored: the daemon has nothing to configure.
int main()
{
    return quorvellan::beacon_main();
}
