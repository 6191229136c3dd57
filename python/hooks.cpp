// SectionType and the hook runner that presents a Python callable to the core as a SectionHook.
#include <Python.h>

#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

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

// Every hook call gets a header dict of its own, which the hook may keep, change or look up by
// id without seeing another call's. The header is whole before the first section, so its strs
// are made once, into a dict that nobody else ever holds: a copy of it is one block copy of its
// table and a reference taken on each key and value, where converting the header afresh made
// every text again. The section keys' strs are kept the same way (attrs_of). Released with the
// runners, under the interpreter lock.
class HeaderCopies {
 public:
  // The dict the copies are made from, never handed to a hook: a new reference, or nullptr (no
  // exception) when no hook was called. It is the statement's header as well.
  PyObject* made() const { return original_ ? Py_NewRef(original_.get()) : nullptr; }

  // A new dict equal to header, for one call; nullptr with an exception set.
  PyObject* copy_of(const AttributeMap& header) {
    if (!original_) {
      original_ = OwnedRef::steal(new_attribute_dict(header));
      if (!original_) return nullptr;
    }
    return PyDict_Copy(original_.get());
  }

  // A new dict of a section's attributes, for one call; nullptr with an exception set. A
  // statement repeats a handful of keys in every section, so their strs are made once per
  // parse: a str made afresh for every call was made, encoded back to UTF-8 when attrs was
  // read back, and freed again, key by key. Values differ from section to section and are new.
  PyObject* attrs_of(const AttributeMap& section) {
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& entry : section.entries()) {
      OwnedRef key = OwnedRef::steal(key_text(entry.key));
      if (!key) return nullptr;
      OwnedRef value = OwnedRef::steal(new_text(entry.value));
      if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
  }

 private:
  // A statement may hold any number of distinct keys; past this many, keys are made per call.
  static constexpr size_t kMostKeyTexts = 256;

  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };

  PyObject* key_text(std::string_view key) {
    if (const auto found = keys_.find(key); found != keys_.end()) {
      return Py_NewRef(found->second.get());
    }
    OwnedRef made = OwnedRef::steal(new_text(key));
    if (made && keys_.size() < kMostKeyTexts) {
      keys_.emplace(std::string(key), OwnedRef::borrow(made.get()));
    }
    return made.release();
  }

  OwnedRef original_;
  std::unordered_map<std::string, OwnedRef, TextHash, std::equal_to<>> keys_;
};

PyObject* header_dict_made(const HeaderCopies& copies) { return copies.made(); }

namespace {

// Hook calls in progress on this thread: a parse called from one is a level of re-entry.
thread_local int hooks_running = 0;

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
    OwnedRef attrs = OwnedRef::steal(header_->attrs_of(section));
    if (!attrs) return fail(HookFailure::abandoned());
    OwnedRef outcome;
    {
      OwnedRef header_dict = OwnedRef::steal(header_->copy_of(header));
      if (!header_dict) return fail(HookFailure::abandoned());
      OwnedRef section_type = OwnedRef::steal(new_section_type_object(type));
      if (!section_type) return fail(HookFailure::abandoned());
      PyObject* args[] = {section_type.get(), attrs.get(), header_dict.get()};
      ++hooks_running;
      outcome = OwnedRef::steal(PyObject_Vectorcall(callable_.get(), args, 3, nullptr));
      --hooks_running;
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

bool running_hook() { return hooks_running != 0; }

std::shared_ptr<HeaderCopies> make_header_copies() { return std::make_shared<HeaderCopies>(); }

SectionHook make_hook_runner(PyObject* callable, std::shared_ptr<HeaderCopies> header) {
  return HookRunner(callable, std::move(header));
}

}  // namespace corvina::py
