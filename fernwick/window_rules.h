// Which of the updater window's buttons may be pressed, worked out afresh after every event from
// what runs. Free of Qt.
//
// Workers that must never run side by side:
//   - the US update and the clean-up (one slot);
//   - the US update and the Canadian update (both write the status grid's rows);
//   - a copy to A: and the US update (the copy reads the rows the run rewrites);
//   - a copy to A: and the Canadian update (the run shows itself in the grid's first row);
//   - the two floppy copies (one slot).
// The clean-up may not start beside the Canadian update either. A button stays disabled while
// any running worker forbids it, so a worker that ends enables only what nothing else forbids.
#pragma once

namespace fernwick {

struct Running {
  bool us_update = false;
  bool cleanup = false;
  bool canada = false;
  bool copy_to = false;
  bool copy_from = false;

  bool any() const { return us_update || cleanup || canada || copy_to || copy_from; }
};

struct ButtonStates {
  bool repeat_update = true;
  bool clean_up = true;
  bool update_canada = true;
  bool copy_to = true;
  bool copy_from = true;
};

// `zlib_ready`: the Canadian update can unzip. `copy_to_allowed`: the last events left update
// files worth copying to A: (a run the user chose not to clean up after, or a copy that had rows
// to copy).
inline ButtonStates button_states(const Running& r, bool zlib_ready, bool copy_to_allowed) {
  const bool floppy = r.copy_to || r.copy_from;
  ButtonStates b;
  b.repeat_update = !r.us_update && !r.cleanup && !r.canada && !r.copy_to;
  b.clean_up = !r.us_update && !r.cleanup && !r.canada;
  b.update_canada = zlib_ready && !r.us_update && !r.canada;
  b.copy_to = copy_to_allowed && !floppy && !r.us_update && !r.canada;
  b.copy_from = !floppy;
  return b;
}

}  // namespace fernwick
