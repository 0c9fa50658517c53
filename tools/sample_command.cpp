// calldb sample: a small data folder of invented licences to try the lookup on.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "dbfiles/dbwriter.h"
#include "dbfiles/lookup.h"
#include "platform/platform.h"
#include "tools/commands.h"
#include "demo/demo_data.h"

namespace calldb {

namespace {

constexpr char kUsDate[] = "20261129";
constexpr char kCanadianDate[] = "20261127";

std::uint32_t code_index(const char* const* codes, int count, const char* code) {
  for (int i = 0; i < count; ++i) {
    if (std::strcmp(codes[i], code) == 0) return static_cast<std::uint32_t>(i);
  }
  return 0;  // "??"; every code below is in its table
}

std::uint32_t state(const char* code) {
  return code_index(dbfiles::StateCodes, dbfiles::kStateCount, code);
}

std::uint32_t province(const char* code) {
  return code_index(dbfiles::ProvinceCodes, dbfiles::kProvinceCount, code);
}

struct UsSample {
  const char* call;
  const char* name;
  const char* street;  // the box number alone when po_box is set
  const char* city;
  const char* state;
  std::uint32_t zip;
  bool po_box;
};

// Every callsign shape from 1x1 to 2x3 under each of A, K, N and W (N and W keys have the top
// bit set), a PO box, a club, an empty city and ZIP codes below 10000.
constexpr UsSample kUsSamples[] = {
    {"AA1AB", "OSTERHOUT, MARGARET L", "12 BIRCHWOOD DR", "BANGOR", "ME", 4401, false},
    {"AB2C", "FARRELLY, DESMOND J", "9 QUARRY HILL RD", "MONTPELIER", "VT", 5602, false},
    {"AD7XYZ", "VANTONGEREN, PRISCILLA N", "3301 SAGEBRUSH WAY", "BOISE", "ID", 83702, false},
    {"K3Q", "WINTERTHORN, HAROLD B", "418 LARKSPUR LN", "ELMIRA", "NY", 14901, false},
    {"K5TUV", "QUINTANILLA, OSWALDO R", "2208 MESQUITE TRL", "EL PASO", "TX", 79912, false},
    {"KC4RTM", "BRAMBLETT, LUCINDA F", "1187", "MACON", "GA", 31208, true},
    {"KE0AB", "PRAIRIE LANTERN AMATEUR RADIO CLUB", "600 GRANARY ST", "SALINA", "KS", 67401,
     false},
    {"KP4QX", "ROSADO VELEZ, ISMAEL A", "CALLE LAS ACACIAS 14", "AGUADILLA", "PR", 603, false},
    {"N2XJ", "HALLORAN, GRETCHEN M", "55 FERRY LANDING", "HOLTSVILLE", "NY", 501, false},
    {"N9ABC", "MCALLISTER, THEODORA J", "1420 DUNE GRASS CT", "MICHIGAN CITY", "IN", 46360,
     false},
    {"NJ8U", "KESSLING, WALTER P", "RR 2 BOX 40", "", "OH", 45601, false},
    {"W1YK", "ABERNATHY, CORNELIUS H", "3 TOWN POUND RD", "AMHERST", "MA", 1002, false},
    {"W4X", "PEAVEY, ROSALIND T", "71 TOBACCO BARN LN", "DURHAM", "NC", 27701, false},
    {"W7KDL", "OKAFOR, BARTHOLOMEW S", "880 CEDAR FLUME RD", "BEND", "OR", 97701, false},
    {"WB9ZTM", "DORNQUIST, ANNELIESE K", "2716 ORCHARD VIEW AVE", "LA CROSSE", "WI", 54601,
     false},
};

struct PrevSample {
  const char* old_call;
  const char* new_call;  // in kUsSamples
};

constexpr PrevSample kPrevSamples[] = {
    {"KB1QRS", "AA1AB"},
    {"WD4HJK", "W4X"},
    {"K9ZZZ", "N9ABC"},
    {"KA7MNO", "W7KDL"},
};

struct CanadianSample {
  const char* call;
  const char* province;
  const char* surname;  // a club's name
  const char* given;    // empty for a club
  const char* street;
  const char* city;
  const char* postal;
};

constexpr CanadianSample kCanadianSamples[] = {
    {"VE3XKT", "ON", "MARCHBANK", "ELOISE R", "88 BYTOWN CRES", "OTTAWA", "K2P 1A4"},
    {"VA7QRS", "BC", "LINDQVIST", "HALVARD J", "4410 SALAL RIDGE RD", "NANAIMO", "V9T 2K8"},
    {"VE2FJL", "QC", "BEAUCHEMIN", "ODILE", "1275 RUE DES ERABLES", "SHERBROOKE", "J1H 4C7"},
    {"VE1TAR", "NS", "TIDEWATER AMATEUR RADIO SOCIETY", "", "19 HARBOURVIEW RD", "LUNENBURG",
     "B0J 2C0"},
    {"VE6BPD", "AB", "OKONKWO-BRANDT", "PETRA L", "11 CHINOOK BAY SW", "CALGARY", "T2W 3M5"},
    {"VE7ZZA", "ZZ", "PELLETIER-ROUX", "GASTON", "no addr given", "not really", "xxx xxx"},
};

int write_us(const std::string& path, std::string* error) {
  std::vector<dbfiles::UsRecord> records;
  for (const UsSample& s : kUsSamples) {
    records.push_back(dbfiles::UsRecord{dbfiles::encode_call(s.call), s.name, s.street, s.city,
                                        state(s.state), s.zip, s.po_box});
  }
  std::sort(records.begin(), records.end(),
            [](const dbfiles::UsRecord& a, const dbfiles::UsRecord& b) { return a.key < b.key; });
  return dbfiles::write_call_db(path, kUsDate, records, error);
}

int write_prev(const std::string& path, std::string* error) {
  std::vector<dbfiles::PrevEntry> entries;
  for (const PrevSample& s : kPrevSamples) {
    entries.push_back(
        dbfiles::PrevEntry{dbfiles::encode_call(s.old_call), dbfiles::encode_call(s.new_call)});
  }
  std::sort(entries.begin(), entries.end(),
            [](const dbfiles::PrevEntry& a, const dbfiles::PrevEntry& b) {
              return a.old_key < b.old_key;
            });
  return dbfiles::write_prev_db(path, kUsDate, entries, error);
}

int write_canadian(const std::string& path, std::string* error) {
  dbfiles::CanDbWriter writer;
  int rc = writer.open(path, kCanadianDate);
  for (const CanadianSample& s : kCanadianSamples) {
    if (rc != 0) break;
    dbfiles::CanKey key = 0;
    if (dbfiles::encode_can_call(s.call, &key) != 0) {
      *error = std::string("cannot encode ") + s.call;
      return -1;
    }
    rc = writer.add(dbfiles::CanEntry::make_word0(key, province(s.province)), s.surname, s.given,
                    s.street, s.city, s.postal);
  }
  if (rc == 0) rc = writer.finish();
  if (rc != 0) *error = writer.error();
  return rc;
}

int run_sample(const std::string& folder) {
  struct Output {
    const char* name;
    int (*write)(const std::string&, std::string*);
    std::size_t count;
    const char* what;
  };
  const Output outputs[] = {
      {dbfiles::kCallDbName, write_us, std::size(kUsSamples), "licences"},
      {dbfiles::kCallPrevDbName, write_prev, std::size(kPrevSamples), "previous calls"},
      {dbfiles::kCanCallDbName, write_canadian, std::size(kCanadianSamples), "licences"},
  };

  // Never write over anyone's data: refuse before touching anything.
  for (const Output& out : outputs) {
    const std::string path = platform::join_path(folder, out.name);
    if (platform::file_exists(path)) {
      std::fprintf(stderr, "calldb: %s already exists; nothing written\n", path.c_str());
      return kExitMiss;
    }
  }

  if (!folder.empty()) {
    std::error_code ec;
    std::filesystem::create_directory(folder, ec);
    if (ec || !std::filesystem::is_directory(folder)) {
      std::fprintf(stderr, "calldb: cannot make folder %s: %s\n", folder.c_str(),
                   ec ? ec.message().c_str() : "not a folder");
      return kExitMiss;
    }
  }

  std::vector<std::string> written;
  for (const Output& out : outputs) {
    const std::string path = platform::join_path(folder, out.name);
    std::string error;
    if (out.write(path, &error) != 0) {
      std::fprintf(stderr, "calldb: %s: %s\n", path.c_str(), error.c_str());
      platform::delete_file(path);
      for (const std::string& done : written) platform::delete_file(done);
      return kExitMiss;
    }
    written.push_back(path);
  }
  const int pages = demo::copy_help_pages(demo::help_page_folders(), folder);
  if (pages != 0) {
    std::fprintf(stderr, "calldb: help pages not copied: %s\n", std::strerror(pages));
  }
  for (const Output& out : outputs) {
    std::printf("wrote %s (%zu %s)\n", platform::join_path(folder, out.name).c_str(), out.count,
                out.what);
  }
  return kExitOk;
}

}  // namespace

void add_sample_commands(CLI::App& app, int* exit_code) {
  auto folder = std::make_shared<std::string>();
  CLI::App* sample = app.add_subcommand(
      "sample",
      "Make a small data folder of invented licences to try the other commands on: call.db "
      "(US), callprev.db (previous callsigns) and cancall.db (Canadian), with the help pages "
      "orbisk-help.html and fernwick-help.html when they are found (an existing one is "
      "kept). DIR is created when "
      "missing (its parent must exist). Nothing is written when any of the three files is "
      "already there. Exit 0 when written, 1 when not.");
  sample->add_option("DIR", *folder, "Folder to write the sample files in")
      ->required()
      ->type_name("DIR");
  sample->callback([folder, exit_code] { *exit_code = run_sample(*folder); });
}

}  // namespace calldb
