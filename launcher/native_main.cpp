// The native installer: the same sequence as the Windows stub, without a
// window. Messages go to standard error; the archive is appended to this
// executable by kelvo sfx --stub (see platform/embedded.h).
#include "launcher/installer_worker.h"

int main()
{
    InstallerWorker worker;
    WorkerHost host;
    return installer_worker_run(worker, host);
}
