#include "FuzzSupport.h"

// The socket layer pumps the event loop between reads; without an
// application object its waits end as if cancelled. One object serves every
// input and lives until the process ends.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static int argc = 1;
    static char name[] = "corvanet-fuzz";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    return 0;
}
