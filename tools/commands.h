// The calldb commands. Each group adds its subcommands to the application; the command that
// runs leaves its exit code in *exit_code.
#pragma once

#include <string>
#include <string_view>

namespace CLI {
class App;
}

namespace calldb {

// Exit codes shared by the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitMiss = 1;      // a callsign was not found, or a run failed
inline constexpr int kExitUnusable = 2;  // bad usage, or call.db cannot be used

void add_lookup_commands(CLI::App& app, int* exit_code);
void add_sample_commands(CLI::App& app, int* exit_code);
void add_floppy_commands(CLI::App& app, int* exit_code);
void add_update_commands(CLI::App& app, int* exit_code);
void add_search_commands(CLI::App& app, int* exit_code);
void add_canada_commands(CLI::App& app, int* exit_code);
void add_demo_commands(CLI::App& app, int* exit_code);
void add_demo_fcc_command(CLI::App& app, int* exit_code);
void add_import_commands(CLI::App& app, int* exit_code);
void add_fetch_commands(CLI::App& app, int* exit_code);
void add_serve_command(CLI::App& app, int* exit_code);

struct ImportReport;
// The import's four lines on standard output: licences (with `date`), previous callsigns, records
// cut and lines skipped.
void print_import_report(const ImportReport& report, const std::string& date);

// Text of the system's own, with its "\r\n" line ends turned into "\n", on standard output.
void print_text(std::string_view text);

// "ERROR Reading Database: call.db" on standard error, with what was wrong: the system error of
// the open (or that an update run holds the file), or, without one, what was damaged.
void report_unusable_call_db(int error, const char* why);

}  // namespace calldb
