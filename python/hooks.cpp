// SectionType and the hook runner that presents a Python callable to the core as a SectionHook.
#include <Python.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arguments.h"
#include "guard.h"
#include "module_types.h"
#include "owned_ref.h"
#include "result.h"

namespace corvina::py {
namespace {

// ----- SectionType -----

struct SectionTypeObject {
  PyObject_HEAD
  uint8_t value;
};

uint8_t section_value(PyObject* self) { return reinterpret_cast<SectionTypeObject*>(self)->value; }

PyObject* section_type_repr(PyObject* self) {
  return PyUnicode_FromString(section_value(self) == 0 ? "SectionType.Document"
                                                       : "SectionType.Account");
}

PyObject* section_type_int(PyObject* self) { return PyLong_FromLong(section_value(self)); }

PyObject* section_type_compare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  bool equal = section_value(self) == section_value(other);
  return PyBool_FromLong((op == Py_EQ) == equal);
}

PyObject* allocate_section_type(PyTypeObject* type, SectionType value) {
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<SectionTypeObject*>(self)->value = static_cast<uint8_t>(value);
  return self;
}

PyType_Slot section_type_slots[] = {
    {Py_tp_doc, const_cast<char*>("Тип секции выписки для использования в hooks.")},
    {Py_tp_repr, reinterpret_cast<void*>(section_type_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(section_type_compare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_nb_int, reinterpret_cast<void*>(section_type_int)},
    {0, nullptr},
};

PyType_Spec section_type_spec = {
    "corvina_py.SectionType", sizeof(SectionTypeObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    section_type_slots};

// The immutable-type flag only blocks setattr from Python; the members go straight into the
// class namespace while nobody else can see the class yet, and PyType_Modified drops any
// attribute cache entry that a lookup made meanwhile.
PyObject* create_section_type_type() {
  OwnedRef type = OwnedRef::steal(PyType_FromSpec(&section_type_spec));
  if (!type) return nullptr;
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  OwnedRef dict = OwnedRef::steal(PyType_GetDict(type_object));
  if (!dict) return nullptr;
  const std::pair<const char*, SectionType> members[] = {
      {"Document", SectionType::Document},
      {"Account", SectionType::Account},
  };
  for (const auto& [name, value] : members) {
    OwnedRef member = OwnedRef::steal(allocate_section_type(type_object, value));
    if (!member || PyDict_SetItemString(dict.get(), name, member.get()) < 0) return nullptr;
  }
  PyType_Modified(type_object);
  return type.release();
}

// ----- the hook runner -----

// "{qualified type name}: {str(exception)}" for the pending exception, which is cleared.
std::string take_failure_text() {
  OwnedRef exception = OwnedRef::steal(PyErr_GetRaisedException());
  std::string text;
  OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(exception.get())));
  Py_ssize_t size = 0;
  const char* data = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (data != nullptr) {
    text.assign(data, static_cast<size_t>(size));
  } else {
    PyErr_Clear();
    text = Py_TYPE(exception.get())->tp_name;
  }
  text += ": ";
  OwnedRef message = OwnedRef::steal(PyObject_Str(exception.get()));
  data = message ? PyUnicode_AsUTF8AndSize(message.get(), &size) : nullptr;
  if (data != nullptr) {
    text.append(data, static_cast<size_t>(size));
  } else {
    // str() raised, or gave a text with lone surrogates that has no UTF-8 form.
    PyErr_Clear();
    text += "<exception str() failed>";
  }
  return text;
}

// How a read-back of attrs ended.
enum class ReadBack { Done, BadText, Aborted };

// Reads attrs into the (emptied) section map from a copy of it. Converting a str may lock that
// str, and without the interpreter lock a thread that waits for one lock gives up the others it
// holds: a walk over attrs that converted as it went would let another thread change the dict,
// and free keys and values the walk only borrowed, halfway through. PyDict_Copy copies every
// item at once under the dict's own lock, and the copy, which no other thread can reach, holds
// them: the dict is read whole however other threads change it, and every text stays alive
// while it is converted.
ReadBack read_back(PyObject* attrs, AttributeMap& section) {
  OwnedRef items = OwnedRef::steal(PyDict_Copy(attrs));
  if (!items) return ReadBack::Aborted;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(items.get(), &position, &key, &value)) {
    std::string_view key_text;
    std::string_view value_text;
    if (!read_text(key, key_text) || !read_text(value, value_text)) return ReadBack::BadText;
    section.insert_copy(key_text, value_text);
  }
  return ReadBack::Done;
}

}  // namespace

// ----- the header handed to hooks -----

// Hooks may change the header dict they are given, and such changes have no effect: the next
// call sees the header as it is. Copying the header for every call made a large header cost
// keys x sections, so a copy is handed out again for as long as nothing changed it. A dict
// watcher tells when something did (a hook, or anyone holding a reference it kept, at any time
// and on any thread); the changed copy is then dropped and the next call gets a fresh one.
//
// The watcher's callback is one function for the whole interpreter, so it finds the flag of
// the changed dict in a registry of the copies being handed out: one entry per parse with
// hooks in progress, a handful at most.
class WatchedCopies {
 public:
  // -1 where no watcher could be had (the interpreter has a few, and other libraries take
  // them): every call then gets a copy of its own, as before.
  static int watcher() {
    // Made once, the first time hooks run; PyDict_AddWatcher cannot wait for another thread.
    static const int id = [] {
      const int added = PyDict_AddWatcher(on_change);
      if (added < 0) PyErr_Clear();
      return added;
    }();
    return id;
  }

  static void add(PyObject* dict, std::atomic<bool>* changed) {
    std::lock_guard lock(mutex());
    entries().push_back({dict, changed});
  }

  // Whether dict was still registered (no change seen).
  static bool remove(PyObject* dict) {
    std::lock_guard lock(mutex());
    auto& all = entries();
    for (auto entry = all.begin(); entry != all.end(); ++entry) {
      if (entry->dict == dict) {
        all.erase(entry);
        return true;
      }
    }
    return false;
  }

 private:
  struct Entry {
    PyObject* dict;
    std::atomic<bool>* changed;
  };

  // Never destroyed: at exit the static destructors run on the main thread while daemon threads
  // the interpreter ends are still unwinding out of hooked parses, and each one's header copies
  // leave the registry on the way out.
  static std::mutex& mutex() {
    static auto* const instance = new std::mutex;
    return *instance;
  }
  static std::vector<Entry>& entries() {
    static auto* const instance = new std::vector<Entry>;
    return *instance;
  }

  static int on_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    // Any event counts, a deallocation included: the copy is not handed out again either way.
    // The flag is set before the entry goes, so a copy is never seen unregistered and unchanged.
    bool found = false;
    {
      std::lock_guard lock(mutex());
      auto& all = entries();
      for (auto entry = all.begin(); entry != all.end(); ++entry) {
        if (entry->dict == dict) {
          entry->changed->store(true, std::memory_order_release);
          all.erase(entry);
          found = true;
          break;
        }
      }
    }
    // Not found: another parse's copy, already seen changed.
    if (found && PyDict_Unwatch(watcher(), dict) < 0) PyErr_Clear();
    return 0;
  }
};

// The header's dict for the hook calls of one parse. The header is complete before the first
// section, so it is converted at the first call and kept aside; calls get a copy of it, the
// same copy for as long as nothing changes it (see WatchedCopies). Released with the runners,
// under the interpreter lock.
class HeaderCopies {
 public:
  HeaderCopies() = default;
  HeaderCopies(const HeaderCopies&) = delete;
  HeaderCopies& operator=(const HeaderCopies&) = delete;
  ~HeaderCopies() { let_go(); }

  // The dict made of the header for the copies, never handed out itself: a new reference, or
  // nullptr (no exception) when no hook was called. The header is whole by the first call
  // (it ends where the first section opens), so the dict is the statement's header as well.
  PyObject* made() const { return original_ ? Py_NewRef(original_.get()) : nullptr; }

  // A new reference to a dict equal to header; nullptr with an exception set.
  PyObject* copy_of(const AttributeMap& header) {
    if (!original_) {
      original_ = OwnedRef::steal(new_attribute_dict(header));
      if (!original_) return nullptr;
    }
    if (handed_ && !changed_.load(std::memory_order_acquire)) return Py_NewRef(handed_.get());
    let_go();
    OwnedRef copy = OwnedRef::steal(PyDict_Copy(original_.get()));
    if (!copy) return nullptr;
    const int watcher = WatchedCopies::watcher();
    if (watcher >= 0) {
      changed_.store(false, std::memory_order_relaxed);
      WatchedCopies::add(copy.get(), &changed_);
      if (PyDict_Watch(watcher, copy.get()) == 0) {
        handed_ = OwnedRef::borrow(copy.get());
      } else {
        PyErr_Clear();
        WatchedCopies::remove(copy.get());
      }
    }
    return copy.release();
  }

 private:
  // Stops watching the copy handed out last. A thread that the interpreter ends at exit gets
  // here without a thread state: it only leaves the registry, which never outlives its flag.
  void let_go() {
    if (!handed_) return;
    if (WatchedCopies::remove(handed_.get()) && PyThreadState_GetUnchecked() != nullptr &&
        PyDict_Unwatch(WatchedCopies::watcher(), handed_.get()) < 0) {
      PyErr_Clear();
    }
    handed_ = OwnedRef();
  }

  OwnedRef original_;
  OwnedRef handed_;
  std::atomic<bool> changed_{false};
};

PyObject* header_dict_made(const HeaderCopies& copies) { return copies.made(); }

namespace {

// Holds one strong reference; copies share it by incref. Runners are made, copied and destroyed
// only by the parse entry, which holds the interpreter lock throughout (or, at exit, by a dying
// thread's unwind, which OwnedRef lets pass).
class HookRunner {
 public:
  HookRunner(PyObject* callable, std::shared_ptr<HeaderCopies> header)
      : callable_(OwnedRef::borrow(callable)), header_(std::move(header)) {}
  HookRunner(const HookRunner& other)
      : callable_(OwnedRef::borrow(other.callable_.get())), header_(other.header_) {}
  HookRunner(HookRunner&& other) noexcept = default;
  HookRunner& operator=(const HookRunner&) = delete;
  HookRunner& operator=(HookRunner&&) = delete;
  ~HookRunner() = default;

  // What the hook raised is its failure (a HookError). When the runner itself cannot go on
  // (attrs could not be copied for reading back, the interpreter could not build the arguments,
  // or memory ran out) the parse is abandoned with that exception left pending, and the parse
  // entry raises it as it is.
  HookOutcome operator()(SectionType type, AttributeMap& section,
                         const AttributeMap& header) const {
    PyGILState_STATE gil = PyGILState_Ensure();
    HookOutcome result = Done{};
    if (Thrown thrown = catch_thrown([&] { result = run(type, section, header); })) {
      raise_thrown(thrown);
      result = fail(HookFailure::abandoned());
    }
    PyGILState_Release(gil);
    return result;
  }

 private:
  HookOutcome run(SectionType type, AttributeMap& section, const AttributeMap& header) const {
    OwnedRef attrs = OwnedRef::steal(new_attribute_dict(section));
    if (!attrs) return fail(HookFailure::abandoned());
    OwnedRef outcome;
    {
      OwnedRef header_dict = OwnedRef::steal(header_->copy_of(header));
      if (!header_dict) return fail(HookFailure::abandoned());
      OwnedRef section_type = OwnedRef::steal(new_section_type_object(type));
      if (!section_type) return fail(HookFailure::abandoned());
      PyObject* args[] = {section_type.get(), attrs.get(), header_dict.get()};
      outcome = OwnedRef::steal(PyObject_Vectorcall(callable_.get(), args, 3, nullptr));
    }
    if (!outcome) return fail(take_failure_text());
    outcome = OwnedRef();

    section.clear();
    switch (read_back(attrs.get(), section)) {
      case ReadBack::Done:
        return Done{};
      case ReadBack::BadText:
        return fail(take_failure_text());
      case ReadBack::Aborted:
        return fail(HookFailure::abandoned());
    }
    return Done{};
  }

  OwnedRef callable_;
  std::shared_ptr<HeaderCopies> header_;
};

}  // namespace

PyTypeObject* section_type_type() {
  static OnceObject once;
  return reinterpret_cast<PyTypeObject*>(get_once(once, create_section_type_type));
}

PyObject* new_section_type_object(SectionType type) {
  PyTypeObject* section_type = section_type_type();
  if (section_type == nullptr) return nullptr;
  return allocate_section_type(section_type, type);
}

std::shared_ptr<HeaderCopies> make_header_copies() { return std::make_shared<HeaderCopies>(); }

SectionHook make_hook_runner(PyObject* callable, std::shared_ptr<HeaderCopies> header) {
  return HookRunner(callable, std::move(header));
}

}  // namespace corvina::py
