// Options: a process-wide table of named doubles. A record, once made, stays at the same address
// for the life of the process, so a caller may keep the pointer VorOptionLookup gives. Names are
// matched exactly. The table lives for the whole process and is made with the system allocator.
// Readers go through the record's value pointer without a lock: set options before other threads
// read them.
#include <cstdint>
#include <list>
#include <mutex>
#include <string>

#include "vorutil.h"
#include "vufail.h"

using vor::Fail;

namespace {

struct Option {
  std::string name;
  double value;
  VorOption record;
};

struct OptionTable {
  std::mutex lock;
  std::list<Option> options;  // list nodes never move

  OptionTable() { Add("_conn_socket_buffer_size", 0.0); }

  Option* Find(const char* name) {
    for (Option& option : options)
      if (option.name == name) return &option;
    return nullptr;
  }

  Option* Add(const char* name, double value) {
    Option& option = options.emplace_back();
    option.name = name;
    option.value = value;
    option.record = VorOption{option.name.c_str(), &option.value};
    return &option;
  }
};

OptionTable& Table() {
  static auto* table = new OptionTable;  // never destroyed
  return *table;
}

}  // namespace

extern "C" {

// Null with ERR_NULL_PTR for no name, null with ERR_VAL_INVALID for a name that is not set.
VORUTIL_API VorOption* VorOptionLookup(const char* name) {
  if (name == nullptr) return Fail<VorOption*>(ERR_NULL_PTR);
  OptionTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  Option* option = table.Find(name);
  if (option == nullptr) return Fail<VorOption*>(ERR_VAL_INVALID);
  return &option->record;
}

VORUTIL_API int32_t VorOptionSet(const char* name, double value) {
  if (name == nullptr) return Fail(ERR_NULL_PTR);
  if (name[0] == '\0') return Fail(ERR_VAL_INVALID);
  OptionTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  if (Option* option = table.Find(name))
    option->value = value;
  else
    table.Add(name, value);
  return 1;
}

}  // extern "C"
