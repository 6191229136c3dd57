// The read-only result classes: Statement, Account, Interval and Document.
//
// Account, Interval and Document keep the core values themselves (a Document keeps its one text
// block) and make Python objects only when an attribute is read: a statement of ten thousand
// documents costs ten thousand small objects, not a quarter of a million strings nobody reads.
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "account.h"
#include "amount.h"
#include "arrow_export.h"
#include "chunked_parse.h"
#include "date.h"
#include "direction.h"
#include "document_extra.h"
#include "exchange_writer.h"
#include "guard.h"
#include "huge_pages.h"
#include "module_types.h"
#include "object_slab.h"
#include "owned_ref.h"
#include "quoted.h"
#include "record_schema.h"
#include "statement.h"
#include "utf8.h"

namespace corvina::py {

// Core texts are UTF-8 by construction (decoded input, or read from a str by a hook).
PyObject* new_text(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* new_message_text(const MessagePieces& message) {
  // Counted and written by the same reader, so the writes stay within the str whatever the
  // bytes are (a malformed sequence, which core text never has, reads as one U+FFFD a byte).
  Py_ssize_t length = 0;
  Py_UCS4 widest = 0;
  for (size_t p = 0; p < message.count; ++p) {
    const std::string_view piece = message.pieces[p];
    for (size_t i = 0; i < piece.size(); ++length) {
      const CodePoint code = read_code_point(piece, i);
      widest = code.value > widest ? code.value : widest;
      i += code.length;
    }
  }
  PyObject* text = PyUnicode_New(length, widest);
  if (text == nullptr) return nullptr;
  const int kind = PyUnicode_KIND(text);
  void* const data = PyUnicode_DATA(text);
  Py_ssize_t at = 0;
  for (size_t p = 0; p < message.count; ++p) {
    const std::string_view piece = message.pieces[p];
    for (size_t i = 0; i < piece.size();) {
      const CodePoint code = read_code_point(piece, i);
      PyUnicode_WRITE(kind, data, at++, code.value);
      i += code.length;
    }
  }
  return text;
}

PyObject* new_attribute_dict(const AttributeMap& map) {
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& entry : map.entries()) {
    OwnedRef key = OwnedRef::steal(new_text(entry.key));
    if (!key) return nullptr;
    OwnedRef value = OwnedRef::steal(new_text(entry.value));
    if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

namespace {

constexpr unsigned long kResultFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                       Py_TPFLAGS_IMMUTABLETYPE;

// The classes a parse makes objects of by the thousand (Interval, Account, Document) are static
// types, filled in from their specs. Each object of a heap type holds a reference to its class:
// on the free-threaded build, threads that make or free such objects at once all write that one
// count (two threads doing nothing else made objects slower than one). A static type is immortal
// and its objects take no reference to it. Returns the type, or nullptr with an exception set.
PyObject* ready_static_type(PyTypeObject& type, const PyType_Spec& spec) {
  type.tp_name = spec.name;
  type.tp_basicsize = spec.basicsize;
  type.tp_flags = spec.flags;
  for (const PyType_Slot* slot = spec.slots; slot->slot != 0; ++slot) {
    switch (slot->slot) {
      case Py_tp_dealloc:
        type.tp_dealloc = reinterpret_cast<destructor>(slot->pfunc);
        break;
      case Py_tp_getset:
        type.tp_getset = static_cast<PyGetSetDef*>(slot->pfunc);
        break;
      case Py_tp_repr:
        type.tp_repr = reinterpret_cast<reprfunc>(slot->pfunc);
        break;
      case Py_tp_richcompare:
        type.tp_richcompare = reinterpret_cast<richcmpfunc>(slot->pfunc);
        break;
      case Py_tp_hash:
        type.tp_hash = reinterpret_cast<hashfunc>(slot->pfunc);
        break;
      default:
        PyErr_Format(PyExc_SystemError, "%s: slot %d is not filled in", spec.name, slot->slot);
        return nullptr;
    }
  }
  if (PyType_Ready(&type) < 0) return nullptr;
  return reinterpret_cast<PyObject*>(&type);
}

// A static type to fill in, with the header the interpreter's own static types have.
PyTypeObject empty_static_type() {
  const PyVarObject header[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
  PyTypeObject type{};
  type.ob_base = header[0];
  return type;
}

// ----- shared conversions -----


PyObject* new_ascii(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_date_text(const Date& date) { return new_ascii(format_date(date).view()); }
PyObject* new_amount_text(const Amount& amount) {
  return new_ascii(format_amount(amount).view());
}

PyObject* new_repr(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// ----- fields, as the schema tables describe them -----

template <FieldKind kind, typename Item>
PyObject* new_item_text(const Item& item) {
  if constexpr (kind == FieldKind::Text) {
    return new_text(item);
  } else if constexpr (kind == FieldKind::Date) {
    return new_date_text(item);
  } else {
    return new_amount_text(item);
  }
}

template <FieldKind kind, typename Item>
void append_item_quoted(std::string& out, const Item& item) {
  if constexpr (kind == FieldKind::Text) {
    append_quoted(out, item);
  } else if constexpr (kind == FieldKind::Date) {
    append_quoted(out, format_date(item).view());
  } else {
    append_quoted(out, format_amount(item).view());
  }
}

// The core value of an object: held in it, or (a document's) pointed to.
template <typename Object>
const auto& record_of(const Object& object) {
  if constexpr (std::is_pointer_v<decltype(object.value)>) {
    return *object.value;
  } else {
    return object.value;
  }
}

// The getter of one field: its canonical text, None where an optional field is absent.
template <typename Row, typename Object>
PyObject* get_field(PyObject* self, void*) {
  const auto& value = Row::of(record_of(*reinterpret_cast<Object*>(self)));
  if constexpr (Row::required) {
    return new_item_text<Row::kind>(value);
  } else {
    if (!value) Py_RETURN_NONE;
    return new_item_text<Row::kind>(*value);
  }
}

// The getset table of a record class, one getter per row in the table's order. The type keeps
// pointers into it, hence static storage.
template <const auto& fields, typename Object>
struct FieldGetters {
  static inline std::array<PyGetSetDef, kFieldCount<decltype(fields)> + 1> table = [] {
    std::array<PyGetSetDef, kFieldCount<decltype(fields)> + 1> getset{};
    size_t i = 0;
    for_each_field(fields, [&](const auto& row) {
      using Row = std::remove_cvref_t<decltype(row)>;
      // The doc text is the field's key, so that code writing the format back finds the keys
      // here rather than in a second list of its own.
      getset[i++] = PyGetSetDef{row.name.data(), get_field<Row, Object>, nullptr,
                                row.key.data(), nullptr};
    });
    getset[i] = PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr};
    return getset;
  }();
};

// The first fields of each record identify it, so its repr shows those four: required ones
// quoted, optional ones as None or Some("...").
constexpr size_t kReprFields = 4;

template <const auto& fields, typename Record>
std::string record_repr_text(std::string_view class_name, const Record& record) {
  std::string out(class_name);
  out += '(';
  size_t shown = 0;
  for_each_field(fields, [&](const auto& row) {
    using Row = std::remove_cvref_t<decltype(row)>;
    if (shown == kReprFields) return;
    if (shown++ != 0) out += ", ";
    out += row.name;
    out += '=';
    const auto& value = Row::of(record);
    if constexpr (Row::required) {
      append_item_quoted<Row::kind>(out, value);
    } else if (!value) {
      out += "None";
    } else {
      out += "Some(";
      append_item_quoted<Row::kind>(out, *value);
      out += ')';
    }
  });
  out += ')';
  return out;
}

template <const auto& fields, typename Record>
PyObject* record_repr(std::string_view class_name, const Record& record) {
  return guard([&] { return new_repr(record_repr_text<fields>(class_name, record)); });
}


void append_count(std::string& out, size_t count) { out += std::to_string(count); }

// Equality of two result objects of one class; NotImplemented for any other pairing and for
// ordering, so the interpreter falls back to identity or raises TypeError.
template <typename Object, bool (*same)(const Object&, const Object&)>
PyObject* compare_values(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  bool equal = same(*reinterpret_cast<Object*>(self), *reinterpret_cast<Object*>(other));
  return PyBool_FromLong((op == Py_EQ) == equal);
}

// Dealloc for objects that hold one C++ value after the header. Their classes are static (see
// ready_static_type): the object holds no reference to give back.
template <typename Object>
void destroy_value_object(PyObject* self) {
  std::destroy_at(&reinterpret_cast<Object*>(self)->value);
  Py_TYPE(self)->tp_free(self);
}

// ----- Interval -----

struct IntervalObject {
  PyObject_HEAD
  Interval value;
};
// Freed by the plain dealloc, without a destructor call.
static_assert(std::is_trivially_destructible_v<Interval>);

const Interval& interval_of(PyObject* self) {
  return reinterpret_cast<IntervalObject*>(self)->value;
}

// Texts compare exactly, and the canonical texts of two dates or two amounts are equal exactly
// when the values are equal member by member (the scale is kept, zero is never negative).
bool same_interval(const Interval& a, const Interval& b) {
  return records_equal<kIntervalFields>(a, b, /*amounts_by_value=*/false);
}

bool same_interval_object(const IntervalObject& a, const IntervalObject& b) {
  return same_interval(a.value, b.value);
}

PyObject* interval_repr(PyObject* self) {
  return record_repr<kIntervalFields>("Interval", interval_of(self));
}

PyType_Slot interval_slots[] = {
    {Py_tp_getset, FieldGetters<kIntervalFields, IntervalObject>::table.data()},
    {Py_tp_repr, reinterpret_cast<void*>(interval_repr)},
    {Py_tp_richcompare,
     reinterpret_cast<void*>(compare_values<IntervalObject, same_interval_object>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec interval_spec = {"builtins.Interval", sizeof(IntervalObject), 0, kResultFlags,
                             interval_slots};

PyTypeObject interval_static_type = empty_static_type();

PyObject* create_interval_type() { return ready_static_type(interval_static_type, interval_spec); }

PyObject* new_interval_object(const Interval& interval) {
  PyTypeObject* type = interval_type();
  if (type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<IntervalObject*>(self)->value) Interval(interval);
  return self;
}

// ----- Account -----

struct AccountObject {
  PyObject_HEAD
  Account value;
};

const Account& account_of(PyObject* self) { return reinterpret_cast<AccountObject*>(self)->value; }

bool same_account_object(const AccountObject& a, const AccountObject& b) {
  const Account& x = a.value;
  const Account& y = b.value;
  if (x.number != y.number || x.intervals.size() != y.intervals.size()) return false;
  for (size_t i = 0; i < x.intervals.size(); ++i) {
    if (!same_interval(x.intervals[i], y.intervals[i])) return false;
  }
  return true;
}

PyObject* account_number(PyObject* self, void*) { return new_text(account_of(self).number); }

// A fresh list each time: the account keeps plain values, so nothing a caller does to the list
// or its items reaches the account.
PyObject* account_intervals(PyObject* self, void*) {
  const auto& intervals = account_of(self).intervals;
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(intervals.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < intervals.size(); ++i) {
    PyObject* item = new_interval_object(intervals[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* account_repr(PyObject* self) {
  return guard([&] {
    const Account& account = account_of(self);
    std::string out = "Account(number=";
    append_quoted(out, account.number);
    out += ", intervals=[...";
    append_count(out, account.intervals.size());
    out += "])";
    return new_repr(out);
  });
}

PyGetSetDef account_getset[] = {
    {"number", account_number, nullptr, kAccountNumberKey.data(), nullptr},
    {"intervals", account_intervals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot account_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_value_object<AccountObject>)},
    {Py_tp_getset, account_getset},
    {Py_tp_repr, reinterpret_cast<void*>(account_repr)},
    {Py_tp_richcompare,
     reinterpret_cast<void*>(compare_values<AccountObject, same_account_object>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec account_spec = {"builtins.Account", sizeof(AccountObject), 0, kResultFlags,
                            account_slots};

PyTypeObject account_static_type = empty_static_type();

PyObject* create_account_type() { return ready_static_type(account_static_type, account_spec); }

// Takes over the account's number and intervals only when the object exists; on failure the
// account is left as it was.
PyObject* new_account_object(Account&& account) {
  PyTypeObject* type = account_type();
  if (type == nullptr) return nullptr;
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<AccountObject*>(self)->value) Account(std::move(account));
  return self;
}

// ----- Document -----

// The documents of one parse, as the core made them. A statement makes objects of them only
// when its documents list is first asked for: a caller that goes from the parse to a table
// never pays for 50,000 objects, and those made point into this list instead of taking copies.
// Each object, and the statement, hold a reference; the documents never change once here.
class ParsedDocuments {
 public:
  explicit ParsedDocuments(DocumentList&& documents)
      : documents_(std::move(documents)) {}
  const DocumentList& documents() const { return documents_; }

  void add_reference() { references_.fetch_add(1, std::memory_order_relaxed); }
  // The last reference may go on another thread than the one that made the list (the
  // free-threaded build): acquire-release orders every read of it before the delete.
  void release() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

 private:
  std::atomic<size_t> references_{1};
  DocumentList documents_;
};

struct DocumentObject {
  PyObject_HEAD
  const Document* value;  // in `parsed`
  ParsedDocuments* parsed;
  ObjectSlab* slab;  // where the object lies, or nullptr when allocated on its own
};

const Document& document_of(PyObject* self) {
  return *reinterpret_cast<DocumentObject*>(self)->value;
}

// Structural equality of the core values is equality of the texts the getters return.
bool same_document_object(const DocumentObject& a, const DocumentObject& b) {
  return records_equal<kDocumentFields>(*a.value, *b.value, /*amounts_by_value=*/false);
}

PyObject* document_repr(PyObject* self) {
  return record_repr<kDocumentFields>("Document", document_of(self));
}

PyObject* document_lineno(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(document_of(self).lineno);
}

// A fresh dict each time, like Account.intervals: the document keeps its extras as a run of
// bytes, so nothing a caller does to the dict reaches the document.
PyObject* document_extra(PyObject* self, void*) {
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return nullptr;
  bool failed = false;
  for_each_extra(document_of(self), [&](std::string_view key, std::string_view value) {
    if (failed) return;
    OwnedRef key_text = OwnedRef::steal(new_text(key));
    if (!key_text) {
      failed = true;
      return;
    }
    OwnedRef value_text = OwnedRef::steal(new_text(value));
    failed = !value_text || PyDict_SetItem(dict.get(), key_text.get(), value_text.get()) != 0;
  });
  if (failed) return nullptr;
  return dict.release();
}

PyObject* document_direction(PyObject* self, void*) {
  const std::optional<std::string_view> name = direction_name(document_of(self).direction());
  if (!name) Py_RETURN_NONE;
  return new_ascii(*name);
}

// The fields' getters, then the three attributes that are no field.
std::array<PyGetSetDef, kFieldCount<decltype(kDocumentFields)> + 4> document_getset = [] {
  std::array<PyGetSetDef, kFieldCount<decltype(kDocumentFields)> + 4> getset{};
  const auto& fields = FieldGetters<kDocumentFields, DocumentObject>::table;
  size_t i = 0;
  for (; fields[i].name != nullptr; ++i) getset[i] = fields[i];
  getset[i++] = PyGetSetDef{"lineno", document_lineno, nullptr,
                            "The line of the section's opening line, from 1.", nullptr};
  getset[i++] = PyGetSetDef{
      "extra", document_extra, nullptr,
      "The section's keys that name no field, with their values, in order of first appearance; "
      "a new dict on each access.",
      nullptr};
  getset[i++] = PyGetSetDef{
      "direction", document_direction, nullptr,
      "'in' (the payee's account is one of the statement's own), 'out' (the payer's is), "
      "'internal' (both are) or None (neither is).",
      nullptr};
  getset[i] = PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr};
  return getset;
}();

void destroy_document_object(PyObject* self) {
  auto* object = reinterpret_cast<DocumentObject*>(self);
  ObjectSlab* const slab = object->slab;
  object->parsed->release();
  if (slab != nullptr) {
    slab->release();
    return;
  }
  Py_TYPE(self)->tp_free(self);
}

PyType_Slot document_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_document_object)},
    {Py_tp_getset, document_getset.data()},
    {Py_tp_repr, reinterpret_cast<void*>(document_repr)},
    {Py_tp_richcompare,
     reinterpret_cast<void*>(compare_values<DocumentObject, same_document_object>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {0, nullptr},
};

PyType_Spec document_spec = {"builtins.Document", sizeof(DocumentObject), 0, kResultFlags,
                             document_slots};

PyTypeObject document_static_type = empty_static_type();

PyObject* create_document_type() { return ready_static_type(document_static_type, document_spec); }

// Points a new object at the document `value` in `parsed`, taking a reference to it.
PyObject* point_document_object(PyObject* self, ParsedDocuments* parsed, const Document* value,
                                ObjectSlab* slab) {
  auto* object = reinterpret_cast<DocumentObject*>(self);
  object->value = value;
  parsed->add_reference();
  object->parsed = parsed;
  object->slab = slab;
  return self;
}

PyObject* new_document_object(PyTypeObject* type, ParsedDocuments* parsed,
                              const Document* value) {
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) return nullptr;
  return point_document_object(self, parsed, value, nullptr);
}

#if defined(CORVINA_OBJECT_SLABS)
// The same in the slab's next room; never fails. The type is static: the object holds no
// reference to it.
PyObject* place_document_object(PyTypeObject* type, ObjectSlab* slab, void* room,
                                ParsedDocuments* parsed, const Document* value) {
  PyObject* self = PyObject_Init(static_cast<PyObject*>(room), type);
  return point_document_object(self, parsed, value, slab);
}
#endif

// The objects of every parsed document, in order, in slabs when there are many.
PyObject* new_documents_list(ParsedDocuments* parsed) {
  const DocumentList& documents = parsed->documents();
  PyTypeObject* type = document_type();
  if (type == nullptr) return nullptr;
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(documents.size())));
  if (!list) return nullptr;
  [[maybe_unused]] ObjectSlab* slab = nullptr;
  [[maybe_unused]] bool in_slabs = true;  // until a slab is refused: the rest one by one
  for (size_t i = 0; i < documents.size(); ++i) {
    PyObject* item = nullptr;
#if defined(CORVINA_OBJECT_SLABS)
    void* room = slab != nullptr ? slab->place() : nullptr;
    if (room == nullptr && in_slabs) {
      slab = ObjectSlab::make(sizeof(DocumentObject), documents.size() - i);
      in_slabs = slab != nullptr;
      room = in_slabs ? slab->place() : nullptr;
    }
    if (room != nullptr) item = place_document_object(type, slab, room, parsed, &documents[i]);
#endif
    if (item == nullptr) item = new_document_object(type, parsed, &documents[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// ----- Statement -----

struct StatementObject {
  PyObject_HEAD
  PyObject* header;
  PyObject* accounts;
  PyObject* documents;  // the list, made when first asked for: nullptr until then
  PyObject* warnings;
  ParsedDocuments* parsed;  // what the list's objects point into, held while the statement lives
  Py_ssize_t document_count;
  Py_ssize_t warning_count;
  Encoding encoding;
};

StatementObject* statement_of(PyObject* self) { return reinterpret_cast<StatementObject*>(self); }

std::string_view encoding_name(Encoding encoding) {
  return encoding == Encoding::Cp1251 ? "cp1251" : "utf-8";
}

PyObject* statement_encoding(PyObject* self, void*) {
  return new_ascii(encoding_name(statement_of(self)->encoding));
}
// The containers themselves, not copies: what the caller changes stays changed.
PyObject* statement_header(PyObject* self, void*) {
  return Py_NewRef(statement_of(self)->header);
}
PyObject* statement_accounts(PyObject* self, void*) {
  return Py_NewRef(statement_of(self)->accounts);
}
PyObject* statement_documents(PyObject* self, void*) {
  PyObject* list = nullptr;
  // Two threads of the free-threaded build asking at once make one list.
  Py_BEGIN_CRITICAL_SECTION(self);
  StatementObject* statement = statement_of(self);
  if (statement->documents == nullptr) statement->documents = new_documents_list(statement->parsed);
  list = Py_XNewRef(statement->documents);
  Py_END_CRITICAL_SECTION();
  return list;
}
PyObject* statement_warnings(PyObject* self, void*) {
  return Py_NewRef(statement_of(self)->warnings);
}

PyObject* statement_repr(PyObject* self) {
  return guard([&] {
    StatementObject* statement = statement_of(self);
    std::string out = "Statement(encoding=";
    append_quoted(out, encoding_name(statement->encoding));
    out += ", documents=[...";
    append_count(out, static_cast<size_t>(statement->document_count));
    out += "], warnings=[...";
    append_count(out, static_cast<size_t>(statement->warning_count));
    out += "])";
    return new_repr(out);
  });
}

// Python code can put a Statement into its own documents list (or a dict holding it into the
// header); collector support lets such cycles be freed.
int statement_traverse(PyObject* self, visitproc visit, void* arg) {
  StatementObject* statement = statement_of(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(statement->header);
  Py_VISIT(statement->accounts);
  Py_VISIT(statement->documents);
  Py_VISIT(statement->warnings);
  return 0;
}

int statement_clear(PyObject* self) {
  StatementObject* statement = statement_of(self);
  Py_CLEAR(statement->header);
  Py_CLEAR(statement->accounts);
  Py_CLEAR(statement->documents);
  Py_CLEAR(statement->warnings);
  return 0;
}

void statement_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  statement_clear(self);
  if (statement_of(self)->parsed != nullptr) statement_of(self)->parsed->release();
  type->tp_free(self);
  Py_DECREF(type);
}

// ----- tables for Arrow consumers -----

// The core value held by a Document or Account object, or nullptr when the object is of any
// other type. The value never changes and lives as long as the object.
const Document* document_value(PyObject* object) {
  if (!Py_IS_TYPE(object, document_type())) return nullptr;
  return &document_of(object);
}

const Account* account_value(PyObject* object) {
  if (!Py_IS_TYPE(object, account_type())) return nullptr;
  return &account_of(object);
}

// A table of the documents in `documents` (a list), one row per item in list order. The table
// is a snapshot: it owns copies of every value, so changing the list or dropping the statement
// afterwards changes nothing in it. TypeError for an item that is not a Document
// ("documents[3] is int, not Document"); ValueError when a value has no place in its column
// (see column_table.h). Throws std::bad_alloc (callers go through guard()).
// The records of the Document objects of `list`. `items` is a private copy of the list: its
// references keep every document alive while the lock is released, whatever other threads do
// to the list. An item that is no Document stops the reading at its index, `not_document`,
// with no exception set; `items` is null with one set when the copy could not be made.
struct DocumentRecords {
  OwnedRef items;
  std::vector<const Document*> values;
  Py_ssize_t not_document = -1;
};

DocumentRecords document_records(PyObject* list) {
  DocumentRecords records;
  records.items = OwnedRef::steal(PyList_GetSlice(list, 0, PY_SSIZE_T_MAX));
  if (!records.items) return records;
  const Py_ssize_t count = PyList_GET_SIZE(records.items.get());
  records.values.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Document* value = document_value(PyList_GET_ITEM(records.items.get(), i));
    if (value == nullptr) {
      records.not_document = i;
      break;
    }
    records.values.push_back(value);
  }
  return records;
}

// A TypeError that `what` is `item`'s class, not `wanted`. The class is named as %T named it
// while the result classes were heap types: fully qualified, without "builtins.", which a static
// type's name keeps (see ready_static_type). Always returns nullptr.
PyObject* raise_not_a(PyObject* what, PyObject* item, const char* wanted) {
  constexpr std::string_view kBuiltins = "builtins.";
  PyTypeObject* type = Py_TYPE(item);
  const std::string_view name = type->tp_name;
  OwnedRef class_name = OwnedRef::steal(
      !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && name.starts_with(kBuiltins)
          ? PyUnicode_FromString(type->tp_name + kBuiltins.size())
          : PyType_GetFullyQualifiedName(type));
  if (class_name) {
    PyErr_Format(PyExc_TypeError, "%U is %U, not %s", what, class_name.get(), wanted);
  }
  return nullptr;
}

PyObject* new_documents_table(PyObject* documents) {
  if (documents == nullptr || !PyList_Check(documents)) {
    PyErr_SetString(PyExc_TypeError, "documents is not a list");
    return nullptr;
  }
  DocumentRecords records = document_records(documents);
  if (!records.items) return nullptr;
  if (records.not_document >= 0) {
    OwnedRef what =
        OwnedRef::steal(PyUnicode_FromFormat("documents[%zd]", records.not_document));
    if (!what) return nullptr;
    return raise_not_a(what.get(), PyList_GET_ITEM(records.items.get(), records.not_document),
                       "Document");
  }
  const ParseOptions options = options_from_environment();
  return build_table_unlocked(records.items.release(), [&] {
    return build_documents_table(records.values, kMaxBatchText, options);
  });
}

// The same for the intervals of the Account values of `accounts` (a dict), in its order; the
// account column holds each Account's own number. TypeError for a value that is not an Account
// ("accounts['4070…'] is int, not Account").
PyObject* new_intervals_table(PyObject* accounts) {
  if (accounts == nullptr || !PyDict_Check(accounts)) {
    PyErr_SetString(PyExc_TypeError, "accounts is not a dict");
    return nullptr;
  }
  // (number, Account) pairs, holding a reference to every account: see build_table_unlocked.
  OwnedRef items = OwnedRef::steal(PyDict_Items(accounts));
  if (!items) return nullptr;
  const Py_ssize_t count = PyList_GET_SIZE(items.get());
  std::vector<const Account*> values;
  values.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* item = PyTuple_GET_ITEM(pair, 1);
    const Account* value = account_value(item);
    if (value == nullptr) {
      OwnedRef what =
          OwnedRef::steal(PyUnicode_FromFormat("accounts[%R]", PyTuple_GET_ITEM(pair, 0)));
      if (!what) return nullptr;
      return raise_not_a(what.get(), item, "Account");
    }
    values.push_back(value);
  }
  const ParseOptions options = options_from_environment();
  return build_table_unlocked(items.release(), [&] {
    return build_intervals_table(values, kMaxBatchText, options);
  });
}

// Tables of what the containers hold now, for Arrow consumers (arrow_export.h).
PyObject* statement_documents_table(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    OwnedRef list;
    Py_BEGIN_CRITICAL_SECTION(self);
    list = OwnedRef::borrow(statement_of(self)->documents);
    Py_END_CRITICAL_SECTION();
    if (list) return new_documents_table(list.get());
    // No list made yet: the documents as parsed, which nothing changes and which the statement
    // (held until the table is built) keeps.
    const DocumentList& documents = statement_of(self)->parsed->documents();
    std::vector<const Document*> values;
    values.reserve(documents.size());
    for (const Document& document : documents) values.push_back(&document);
    const ParseOptions options = options_from_environment();
    return build_table_unlocked(Py_NewRef(self), [&] {
      return build_documents_table(values, kMaxBatchText, options);
    });
  });
}
PyObject* statement_intervals_table(PyObject* self, PyObject*) {
  return guard([&] { return new_intervals_table(statement_of(self)->accounts); });
}

}  // namespace

// As documents_table() reads them.
bool documents_now(PyObject* self, OwnedRef& holder, std::vector<const Document*>& values) {
  OwnedRef list;
  Py_BEGIN_CRITICAL_SECTION(self);
  list = OwnedRef::borrow(statement_of(self)->documents);
  Py_END_CRITICAL_SECTION();
  if (!list) {
    const DocumentList& documents = statement_of(self)->parsed->documents();
    values.reserve(documents.size());
    for (const Document& document : documents) values.push_back(&document);
    holder = OwnedRef::borrow(self);
    return true;
  }
  DocumentRecords records = document_records(list.get());
  if (!records.items) return false;
  if (records.not_document >= 0) {
    OwnedRef what =
        OwnedRef::steal(PyUnicode_FromFormat("documents[%zd]", records.not_document));
    if (what) raise_not_a(what.get(), PyList_GET_ITEM(records.items.get(), records.not_document),
                          "Document");
    return false;
  }
  holder = std::move(records.items);
  values = std::move(records.values);
  return true;
}

// As intervals_table() reads them.
bool accounts_now(PyObject* self, OwnedRef& holder, std::vector<const Account*>& values) {
  holder = OwnedRef::steal(PyDict_Items(statement_of(self)->accounts));
  if (!holder) return false;
  const Py_ssize_t count = PyList_GET_SIZE(holder.get());
  values.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PyList_GET_ITEM(holder.get(), i);
    PyObject* item = PyTuple_GET_ITEM(pair, 1);
    const Account* value = account_value(item);
    if (value == nullptr) {
      OwnedRef what =
          OwnedRef::steal(PyUnicode_FromFormat("accounts[%R]", PyTuple_GET_ITEM(pair, 0)));
      if (what) raise_not_a(what.get(), item, "Account");
      return false;
    }
    values.push_back(value);
  }
  return true;
}

namespace {

// The accounts of `accounts` (a dict of str -> Account) to write, each under its key, in the
// dict's order. `items` holds the (key, Account) pairs, whose references keep the keys' UTF-8
// and the accounts alive while the lock is released. `writable` is false, with no exception
// set, for a key that is no str or has no UTF-8 form, a value that is no Account, or an
// account without intervals: the checked path says what is wrong with them.
struct AccountRecords {
  OwnedRef items;
  std::vector<AccountToWrite> values;
  bool writable = false;
};

AccountRecords account_records(PyObject* accounts) {
  AccountRecords records;
  records.items = OwnedRef::steal(PyDict_Items(accounts));
  if (!records.items) return records;
  const Py_ssize_t count = PyList_GET_SIZE(records.items.get());
  records.values.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* pair = PyList_GET_ITEM(records.items.get(), i);
    PyObject* key = PyTuple_GET_ITEM(pair, 0);
    const Account* account = account_value(PyTuple_GET_ITEM(pair, 1));
    if (!PyUnicode_CheckExact(key) || account == nullptr || account->intervals.empty()) {
      return records;
    }
    Py_ssize_t size = 0;
    const char* number = PyUnicode_AsUTF8AndSize(key, &size);
    if (number == nullptr) {
      PyErr_Clear();  // a lone surrogate: the checked path names it
      return records;
    }
    records.values.push_back({std::string_view(number, static_cast<size_t>(size)), account});
  }
  records.writable = true;
  return records;
}

// The account sections of `accounts` (a dict of str -> Account) and the document sections of
// the Document objects in `documents` (a list) in the exchange format, between the bytes `head`
// and `tail`: what corvina_convert's writer would make of them one value at a time. None when
// an item is not a Document or an Account, or a text cannot be written as it is, and the
// writer's own path is to say why. Arguments: the list, whether to write UTF-8 (else
// Windows-1251), whether lines end in CR LF (else LF), head, tail, the accounts.
PyObject* statement_exchange_documents(PyObject*, PyObject* args) {
  PyObject* documents = nullptr;
  int utf8 = 0;
  int crlf = 0;
  const char* head = nullptr;
  Py_ssize_t head_size = 0;
  const char* tail = nullptr;
  Py_ssize_t tail_size = 0;
  PyObject* accounts = nullptr;
  if (!PyArg_ParseTuple(args, "O!ppy#y#O!:_exchange_documents", &PyList_Type, &documents, &utf8,
                        &crlf, &head, &head_size, &tail, &tail_size, &PyDict_Type, &accounts)) {
    return nullptr;
  }
  return guard([&]() -> PyObject* {
    const DocumentRecords records = document_records(documents);
    if (!records.items) return nullptr;
    if (records.not_document >= 0) Py_RETURN_NONE;  // the checked path writes what it is
    const AccountRecords account_items = account_records(accounts);
    if (!account_items.items) return nullptr;
    if (!account_items.writable) Py_RETURN_NONE;
    const std::vector<AccountToWrite>& account_values = account_items.values;
    const std::vector<const Document*>& values = records.values;
    // Written straight into the bytes object, made at the most it can take and cut to size:
    // a statement of hundreds of megabytes is not copied once more. The bytes object is ours
    // alone until it is returned, so it is written without the lock, on as many threads as a
    // parse would use.
    const std::string_view newline = crlf ? "\r\n" : "\n";
    const ParseOptions parsing = options_from_environment();
    SectionWriting options;
    options.threads = parsing.threads == 0 ? usable_cores() : parsing.threads;
    options.threshold = parsing.chunk_threshold;
    // Measured once, on the writing's threads, for both the size of the bytes and the pieces.
    SectionRoom room;
    if (!run_unlocked([&] { room = document_sections_room(values, newline, options); })) {
      return nullptr;
    }
    const size_t bound = account_sections_bound(account_values, newline) + room.total;
    OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(
        nullptr, head_size + static_cast<Py_ssize_t>(bound) + tail_size));
    if (!bytes) return nullptr;
    char* const start = PyBytes_AS_STRING(bytes.get());
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(bytes.get()));
    char* end = nullptr;
    if (!run_unlocked([&] {
          advise_huge_pages(start, size);
          std::memcpy(start, head, static_cast<size_t>(head_size));
          const LineForm form = utf8 ? LineForm::Utf8 : LineForm::Cp1251;
          end = write_account_sections_into(account_values, form, newline, start + head_size);
          if (end != nullptr) {
            end = write_document_sections_into(values, form, newline, end, options, room);
          }
          if (end != nullptr) {
            std::memcpy(end, tail, static_cast<size_t>(tail_size));
            end += tail_size;
          }
        })) {
      return nullptr;
    }
    if (end == nullptr) Py_RETURN_NONE;
    PyObject* result = bytes.release();
    if (_PyBytes_Resize(&result, end - start) < 0) return nullptr;
    return result;
  });
}

PyMethodDef statement_methods[] = {
    {"_exchange_documents", statement_exchange_documents, METH_VARARGS,
     "The accounts of a dict and the documents of a list in the exchange format, as bytes, or "
     "None (corvina_convert's writer)."},
    {"documents_table", statement_documents_table, METH_NOARGS,
     "The documents as a table for Arrow consumers (pyarrow, polars, DuckDB)."},
    {"intervals_table", statement_intervals_table, METH_NOARGS,
     "The accounts' intervals as a table for Arrow consumers."},
    {"_check_documents", statement_check_documents, METH_VARARGS,
     "The per-document part of corvina_convert's checks."},
    {"records", statement_records, METH_NOARGS,
     "The documents as a list of dicts: dates as datetime.date, amounts as decimal.Decimal."},
    {"interval_records", statement_interval_records, METH_NOARGS,
     "The accounts' intervals as a list of dicts, each with its account's number."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef statement_getset[] = {
    {"encoding", statement_encoding, nullptr, nullptr, nullptr},
    {"header", statement_header, nullptr, nullptr, nullptr},
    {"accounts", statement_accounts, nullptr, nullptr, nullptr},
    {"documents", statement_documents, nullptr, nullptr, nullptr},
    {"warnings", statement_warnings, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot statement_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(statement_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(statement_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(statement_clear)},
    {Py_tp_getset, statement_getset},
    {Py_tp_methods, statement_methods},
    {Py_tp_repr, reinterpret_cast<void*>(statement_repr)},
    {0, nullptr},
};

PyType_Spec statement_spec = {"builtins.Statement", sizeof(StatementObject), 0,
                              kResultFlags | Py_TPFLAGS_HAVE_GC, statement_slots};

PyObject* create_statement_type() { return PyType_FromSpec(&statement_spec); }

// ----- conversion of a core Statement -----


// The header of a statement, taken out of it. A header of millions of keys would otherwise be
// held three times over at the peak: the core's entries, their strs, and the dict. The strs
// are made while the texts are there; the entries and texts go; then the dict.
PyObject* new_header_dict(AttributeMap& header) {
  std::vector<OwnedRef, MappedListAllocator<OwnedRef>> texts;  // key, value, key, value...
  {
    const AttributeMap::Contents contents = header.take_contents();
    // Reserved whole, so no push below can throw with a new reference in hand.
    texts.reserve(contents.entries.size() * 2);
    for (const AttributeMap::Entry& entry : contents.entries) {
      for (const std::string_view text : {entry.key, entry.value}) {
        texts.push_back(OwnedRef::steal(new_text(text)));
        if (!texts.back()) return nullptr;
      }
    }
  }
  // Grown, not presized: a presized dict keeps a hash per slot for keys of any type, a third
  // larger than the str-keyed table that growing makes.
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (size_t i = 0; i < texts.size(); i += 2) {
    if (PyDict_SetItem(dict.get(), texts[i].get(), texts[i + 1].get()) < 0) return nullptr;
  }
  return dict.release();
}

// Takes the accounts out of the map, whose lookup tables go at once. The objects are made
// first, each taking over its account; the emptied list goes; then the keys and the dict, so
// that a million accounts are never held twice over.
PyObject* new_accounts_dict(AccountMap& map) {
  std::vector<OwnedRef, MappedListAllocator<OwnedRef>> objects;
  {
    AccountList accounts = map.take_accounts();
    // Reserved whole, so no push below can throw with a new reference in hand.
    objects.reserve(accounts.size());
    for (Account& account : accounts) {
      objects.push_back(OwnedRef::steal(new_account_object(std::move(account))));
      if (!objects.back()) return nullptr;
    }
  }
  OwnedRef dict = OwnedRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const OwnedRef& object : objects) {
    OwnedRef key = OwnedRef::steal(new_text(account_of(object.get()).number));
    if (!key || PyDict_SetItem(dict.get(), key.get(), object.get()) < 0) return nullptr;
  }
  return dict.release();
}

// Messages repeat (a statement of empty sections warns of the same missing field for each), and
// the core keeps each once; so does the list: a str of its own per warning cost more than the
// section that caused it.
PyObject* new_warnings_list(const WarningList& warnings) {
  OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(warnings.size())));
  if (!list) return nullptr;
  // Borrowed: every str made is held by a tuple already in the list.
  std::vector<PyObject*> messages(warnings.message_count(), nullptr);
  for (size_t i = 0; i < warnings.size(); ++i) {
    OwnedRef lineno = OwnedRef::steal(PyLong_FromUnsignedLong(warnings[i].lineno));
    if (!lineno) return nullptr;
    PyObject*& known = messages[warnings.message_number(i)];
    OwnedRef message;
    if (known == nullptr) {
      message = OwnedRef::steal(new_text(warnings[i].message));
      if (!message) return nullptr;
      known = message.get();
    } else {
      message = OwnedRef::borrow(known);
    }
    PyObject* item = PyTuple_Pack(2, lineno.get(), message.get());
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

const Document* core_document(PyObject* object) { return document_value(object); }

PyTypeObject* interval_type() {
  static OnceObject once;
  return reinterpret_cast<PyTypeObject*>(get_once(once, create_interval_type));
}

PyTypeObject* account_type() {
  static OnceObject once;
  return reinterpret_cast<PyTypeObject*>(get_once(once, create_account_type));
}

PyTypeObject* document_type() {
  static OnceObject once;
  return reinterpret_cast<PyTypeObject*>(get_once(once, create_document_type));
}

PyTypeObject* statement_type() {
  static OnceObject once;
  return reinterpret_cast<PyTypeObject*>(get_once(once, create_statement_type));
}

PyObject* new_statement_object(Statement&& statement, PyObject* made_header) {
  PyTypeObject* type = statement_type();
  if (type == nullptr) return nullptr;
  OwnedRef header = made_header != nullptr
                        ? OwnedRef::borrow(made_header)
                        : OwnedRef::steal(new_header_dict(statement.header));
  if (!header) return nullptr;
  // Hooks made the dict from a copy of their own: the core's goes before the accounts' objects.
  statement.header = AttributeMap();
  OwnedRef accounts = OwnedRef::steal(new_accounts_dict(statement.accounts));
  if (!accounts) return nullptr;
  OwnedRef warnings = OwnedRef::steal(new_warnings_list(statement.warnings));
  if (!warnings) return nullptr;

  auto* parsed = new (std::nothrow) ParsedDocuments(std::move(statement.documents));
  if (parsed == nullptr) return PyErr_NoMemory();

  // The allocation zeroes the object and starts tracking it; traverse copes with the null
  // containers until they are stored below.
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (self == nullptr) {
    parsed->release();
    return nullptr;
  }
  StatementObject* object = statement_of(self);
  object->encoding = statement.encoding;
  object->document_count = static_cast<Py_ssize_t>(parsed->documents().size());
  object->warning_count = PyList_GET_SIZE(warnings.get());
  object->header = header.release();
  object->accounts = accounts.release();
  object->warnings = warnings.release();
  object->parsed = parsed;
  return self;
}

}  // namespace corvina::py
