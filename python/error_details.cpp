// The seven detail classes attached to syntax errors, and the raising of those errors.
//
// All seven share one instance layout and one set of slot functions; a class is described by a
// row of kClasses, and only tp_new needs to know its row at compile time (it is a template on
// the row), since an instance records its row when it is made.
#include <Python.h>

#include <array>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

#include "arguments.h"
#include "guard.h"
#include "module_types.h"
#include "owned_ref.h"
#include "quoted.h"
#include "statement.h"

namespace corvina::py {
namespace {

constexpr size_t kMaxTexts = 2;

struct DetailClass {
  const char* name;
  const char* type_name;     // "corvina_py." + name: sets __module__ for pickling
  const char* signature;     // the type's doc slot, from which __text_signature__ comes
  const char* new_function;  // as named in argument errors
  std::array<const char*, 1 + kMaxTexts> parameters;  // "lineno", then the texts
  size_t text_count;
};

// The rows of kClasses, in the order of the core's ErrorDetail.
enum Row : size_t {
  kUnexpectedSection = static_cast<size_t>(ErrorDetail::UnexpectedSection),
  kUnexpectedAttribute = static_cast<size_t>(ErrorDetail::UnexpectedAttribute),
  kUnrecognizedLine = static_cast<size_t>(ErrorDetail::UnrecognizedLine),
  kMissingField = static_cast<size_t>(ErrorDetail::MissingField),
  kAccountParseError = static_cast<size_t>(ErrorDetail::AccountParseError),
  kDocumentParseError = static_cast<size_t>(ErrorDetail::DocumentParseError),
  kHookError = static_cast<size_t>(ErrorDetail::HookError),
  kRowCount = static_cast<size_t>(ErrorDetail::None),
};

constexpr DetailClass kClasses[kRowCount] = {
    {"UnexpectedSection", "corvina_py.UnexpectedSection",
     "UnexpectedSection(lineno, found, context)\n--\n\n", "UnexpectedSection.__new__()",
     {"lineno", "found", "context"}, 2},
    {"UnexpectedAttribute", "corvina_py.UnexpectedAttribute",
     "UnexpectedAttribute(lineno, key, value)\n--\n\n", "UnexpectedAttribute.__new__()",
     {"lineno", "key", "value"}, 2},
    {"UnrecognizedLine", "corvina_py.UnrecognizedLine", "UnrecognizedLine(lineno, line)\n--\n\n",
     "UnrecognizedLine.__new__()", {"lineno", "line", nullptr}, 1},
    {"MissingField", "corvina_py.MissingField", "MissingField(lineno, field, context)\n--\n\n",
     "MissingField.__new__()", {"lineno", "field", "context"}, 2},
    {"AccountParseError", "corvina_py.AccountParseError",
     "AccountParseError(lineno, message)\n--\n\n", "AccountParseError.__new__()",
     {"lineno", "message", nullptr}, 1},
    {"DocumentParseError", "corvina_py.DocumentParseError",
     "DocumentParseError(lineno, message)\n--\n\n", "DocumentParseError.__new__()",
     {"lineno", "message", nullptr}, 1},
    {"HookError", "corvina_py.HookError", "HookError(lineno, message)\n--\n\n",
     "HookError.__new__()", {"lineno", "message", nullptr}, 1},
};

struct DetailFields {
  const DetailClass* detail_class;
  LineNumber lineno;
  std::array<std::string, kMaxTexts> texts;
};

struct DetailObject {
  PyObject_HEAD
  DetailFields fields;
};

DetailFields& fields_of(PyObject* self) { return reinterpret_cast<DetailObject*>(self)->fields; }

// Takes over the texts, so an error's texts (a whole unrecognised line, say) are not copied
// again for its detail.
PyObject* new_detail(PyTypeObject* type, const DetailClass& detail_class, LineNumber lineno,
                     std::array<std::string, kMaxTexts>&& texts) {
  allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  DetailObject* object = reinterpret_cast<DetailObject*>(self);
  new (&object->fields) DetailFields{&detail_class, lineno, std::move(texts)};
  return self;
}

// Nothing is allocated until every argument has been converted, so a bad argument never leaves
// a half-built instance behind.
PyObject* new_detail(PyTypeObject* type, const DetailClass& detail_class, LineNumber lineno,
                     const std::array<std::string_view, kMaxTexts>& texts) {
  std::array<std::string, kMaxTexts> owned;
  for (size_t i = 0; i < detail_class.text_count; ++i) owned[i] = texts[i];
  return new_detail(type, detail_class, lineno, std::move(owned));
}

// lineno goes through __index__ like any integer argument; the 32-bit limit is ours and gets
// the text the interpreter uses for a failed narrowing conversion.
bool read_lineno(PyObject* argument, LineNumber& out) {
  OwnedRef index = OwnedRef::steal(PyNumber_Index(argument));
  if (!index) {
    prefix_argument_error("lineno");
    return false;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<LineNumber>(value);
  return true;
}

template <size_t kRow>
PyObject* detail_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  const DetailClass& detail_class = kClasses[kRow];
  const Parameters parameters{
      detail_class.new_function,
      std::span<const char* const>(detail_class.parameters.data(), 1 + detail_class.text_count),
      1 + detail_class.text_count};
  std::array<PyObject*, 1 + kMaxTexts> bound{};
  if (!bind_tuple(parameters, args, kwargs, bound.data())) return nullptr;

  LineNumber lineno = 0;
  if (!read_lineno(bound[0], lineno)) return nullptr;
  std::array<std::string_view, kMaxTexts> texts{};
  for (size_t i = 0; i < detail_class.text_count; ++i) {
    if (!read_text(bound[1 + i], texts[i])) {
      prefix_argument_error(detail_class.parameters[1 + i]);
      return nullptr;
    }
  }
  return guard([&] { return new_detail(type, detail_class, lineno, texts); });
}

void detail_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  fields_of(self).~DetailFields();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* text_object(const std::string& text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* get_lineno(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(fields_of(self).lineno);
}

PyObject* get_text(PyObject* self, void* closure) {
  return text_object(fields_of(self).texts[reinterpret_cast<uintptr_t>(closure)]);
}

PyObject* detail_repr(PyObject* self) {
  return guard([&] {
    const DetailFields& fields = fields_of(self);
    std::string out = fields.detail_class->name;
    out += "(lineno=";
    out += std::to_string(fields.lineno);
    for (size_t i = 0; i < fields.detail_class->text_count; ++i) {
      out += ", ";
      out += fields.detail_class->parameters[1 + i];
      out += '=';
      append_quoted(out, fields.texts[i]);
    }
    out += ')';
    return text_object(out);
  });
}

PyObject* detail_getnewargs(PyObject* self, PyObject*) {
  const DetailFields& fields = fields_of(self);
  OwnedRef args = OwnedRef::steal(PyTuple_New(1 + fields.detail_class->text_count));
  if (!args) return nullptr;
  PyObject* lineno = PyLong_FromUnsignedLong(fields.lineno);
  if (lineno == nullptr) return nullptr;
  PyTuple_SET_ITEM(args.get(), 0, lineno);
  for (size_t i = 0; i < fields.detail_class->text_count; ++i) {
    PyObject* text = text_object(fields.texts[i]);
    if (text == nullptr) return nullptr;
    PyTuple_SET_ITEM(args.get(), 1 + i, text);
  }
  return args.release();
}

PyMethodDef detail_methods[] = {
    {"__getnewargs__", detail_getnewargs, METH_NOARGS, "__getnewargs__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

void* text_index(uintptr_t index) { return reinterpret_cast<void*>(index); }

// The type machinery keeps pointers into the getset table, so each class has its own table with
// static storage; the second text row is the sentinel for one-text classes.
template <size_t kRow>
struct DetailType {
  static constexpr const DetailClass& detail_class = kClasses[kRow];

  static inline PyGetSetDef getset[] = {
      {"lineno", get_lineno, nullptr, nullptr, nullptr},
      {detail_class.parameters[1], get_text, nullptr, nullptr, text_index(0)},
      detail_class.text_count > 1
          ? PyGetSetDef{detail_class.parameters[2], get_text, nullptr, nullptr, text_index(1)}
          : PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };

  static inline PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(detail_class.signature)},
      {Py_tp_new, reinterpret_cast<void*>(detail_new<kRow>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(detail_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(detail_repr)},
      {Py_tp_str, reinterpret_cast<void*>(detail_repr)},
      {Py_tp_getset, getset},
      {Py_tp_methods, detail_methods},
      {0, nullptr},
  };

  static inline PyType_Spec spec = {
      detail_class.type_name,
      static_cast<int>(sizeof(DetailObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      slots,
  };

  static inline OnceObject once;

  static PyObject* create() { return PyType_FromSpec(&spec); }

  static PyTypeObject* get() {
    return reinterpret_cast<PyTypeObject*>(get_once(once, create));
  }
};

// A detail's row and texts, copied from the failure's facts.
struct DetailParts {
  size_t row;
  LineNumber lineno;
  std::array<std::string, kMaxTexts> texts;
};

PyTypeObject* detail_type(size_t row);

// The attribute is best effort: a SyntaxError without `detail` still reports the failure, while
// an error raised in place of it would hide what went wrong with the statement.
void attach_detail(PyObject* exception, DetailParts&& parts) {
  PyTypeObject* type = detail_type(parts.row);
  if (type == nullptr) {
    PyErr_Clear();
    return;
  }
  OwnedRef detail = OwnedRef::steal(new_detail(type, kClasses[parts.row], parts.lineno,
                                               std::move(parts.texts)));
  if (!detail) {
    PyErr_Clear();
    return;
  }
  OwnedRef dict = OwnedRef::steal(PyObject_GenericGetDict(exception, nullptr));
  if (!dict || PyDict_SetItemString(dict.get(), "detail", detail.get()) < 0) PyErr_Clear();
}

}  // namespace

PyTypeObject* unexpected_section_type() { return DetailType<kUnexpectedSection>::get(); }
PyTypeObject* unexpected_attribute_type() { return DetailType<kUnexpectedAttribute>::get(); }
PyTypeObject* unrecognized_line_type() { return DetailType<kUnrecognizedLine>::get(); }
PyTypeObject* missing_field_type() { return DetailType<kMissingField>::get(); }
PyTypeObject* account_parse_error_type() { return DetailType<kAccountParseError>::get(); }
PyTypeObject* document_parse_error_type() { return DetailType<kDocumentParseError>::get(); }
PyTypeObject* hook_error_type() { return DetailType<kHookError>::get(); }

namespace {

PyTypeObject* detail_type(size_t row) {
  constexpr PyTypeObject* (*kTypes[kRowCount])() = {
      unexpected_section_type, unexpected_attribute_type, unrecognized_line_type,
      missing_field_type,      account_parse_error_type,  document_parse_error_type,
      hook_error_type,
  };
  return kTypes[row]();
}

}  // namespace

namespace {

// An instance made by calling the class with the message, so that args is (message,).
OwnedRef new_exception(PyObject* type, PyObject* message) {
  if (type == nullptr) return OwnedRef();
  return OwnedRef::steal(PyObject_CallOneArg(type, message));
}

PyObject* raise(const OwnedRef& exception) {
  // Unlike PyErr_SetRaisedException, this links the exception being handled as __context__.
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace

PyObject* raise_exception(PyObject* type, PyObject* message) {
  OwnedRef exception = new_exception(type, message);
  return exception ? raise(exception) : nullptr;
}

PyObject* raise_failure(const ErrorFacts& facts, PyObject* message) {
  // Indexed by ErrorClass, up to HostsOwn: that one's exception is pending already.
  constexpr PyObject* (*kExceptionTypes[])() = {
      syntax_error_type, unfinished_error_type, not_statement_error_type, empty_input_error_type};
  static_assert(std::size(kExceptionTypes) == static_cast<size_t>(ErrorClass::HostsOwn));
  OwnedRef exception =
      new_exception(kExceptionTypes[static_cast<size_t>(facts.error_class)](), message);
  if (!exception) return nullptr;
  if (facts.detail != ErrorDetail::None) {
    DetailParts parts{static_cast<size_t>(facts.detail), facts.lineno, {}};
    for (size_t i = 0; i < facts.detail_count; ++i) parts.texts[i] = facts.detail_text(i);
    attach_detail(exception.get(), std::move(parts));
  }
  return raise(exception);
}

}  // namespace corvina::py
