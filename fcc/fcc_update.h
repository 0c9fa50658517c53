// The US update run from the FCC's own archives: the worker fernwick and calldb update start
// instead of updater::doupdate when the FCC is the US source (WorkerEnv::use_fcc). It runs
// fetch_fcc into the data folder and shows the run as an update run shows its update files.
#pragma once

#include "updater/updater_state.h"

namespace calldb {

// The run, in the data folder env.folder from env.fcc_server (trusting env.ca_file beside the
// system's certificates), holding the folder's writer lock (waiting when env.wait_for_folder):
//   - the grid: one row per archive in the order the run meets them, its name, its status
//     (StatusWords: downloading, downloaded, updating, done; "Not avail" for a daily the server
//     has not got or a download that failed, "ERROR" for an archive that could not be read or
//     applied), the bytes read and the total bytes;
//   - the value cells: db date (call.db's before the run), update file (the archive at work),
//     updating to (the new date), records read, new, deleted and changed calls, percent done;
//   - the log: call.db's date and size, each archive as it is downloaded and what became of
//     it, the previous call.db kept ("callMMDD.db <<--saved old call.db file"), the counts;
//   - a failure is logged and shown in a box naming the archive, the server and what chose it;
//     nothing is replaced and the next run fetches again.
// A call.db that the lookup program holds is refused as the update run refuses it. Without a
// call.db the run makes the first database. Cancelling (env.cancel) ends the run with the data
// folder as it was.
// Ends with exactly one UM_UPDATE_DONE: wParam the rows shown, lParam 0 when the databases
// were replaced, -1 when call.db was up to date or could not be read, 1 when the run failed.
// update_rows keep the archives' names, but rows_in_use stays 0: there are no update files to
// copy to A:.
void fcc_update(updater::WorkerEnv& env);

}  // namespace calldb
