// The Canadian update run: download amateur.zip, extract amateur.txt, convert it into
// cancall.db. Works on its own row, update_rows[kCanadaRow], shown in the first row of the status
// grid; the US rows keep their names and states.
#pragma once

#include "updater/updater_state.h"

namespace updater {

// The run of the Canadian update worker. Ends with exactly one UM_CANADA_DONE (0, 0). Returns 0
// when cancall.db was rebuilt, -1 otherwise.
int canupdate(WorkerEnv& env);

}  // namespace updater
