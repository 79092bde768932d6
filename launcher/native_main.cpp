// The native installer: the same sequence as the Windows stub, without a
// window. Messages go to standard error; the archive is appended to this
// executable (see platform/embedded.h and kelvo-attach).
#include "launcher/installer_worker.h"

int main()
{
    InstallerWorker worker;
    WorkerHost host;
    installer_worker_run(worker, host);
    // Like the Windows stub, whose exit code is the quit message's 0.
    return 0;
}
