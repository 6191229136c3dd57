// parse(statement, hooks=None): arguments in, a Statement object or one exception out.
#include <Python.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "arguments.h"
#include "chunked_parse.h"
#include "guard.h"
#include "module_types.h"
#include "owned_ref.h"
#include "parse_statement.h"
#include "stack_room.h"

namespace corvina::py {
namespace {

// The first three lines are the text-signature header that the interpreter strips into
// __text_signature__.
constexpr char kParseDoc[] =
    "parse(statement, hooks=None)\n"
    "--\n"
    "\n"
    "Парсит выписку 1CClientBankExchange из байтов или строки.\n"
    "\n"
    "# Аргументы\n"
    "\n"
    "* `statement` - Сырые байты или строка файла выписки (поддерживает кодировки CP1251 и "
    "UTF-8)\n"
    "* `hooks` - Опциональный список callable для модификации секций во время парсинга.\n"
    "  Сигнатура hook: `(section_type: SectionType, attrs: dict, header: dict) -> None`\n"
    "  - `section_type`: тип секции (`SectionType.Document` или `SectionType.Account`)\n"
    "  - attrs: словарь атрибутов секции (можно модифицировать)\n"
    "  - header: словарь заголовка выписки (только для чтения)\n"
    "\n"
    "# Возвращает\n"
    "\n"
    "Объект Statement с атрибутами:\n"
    "- encoding: \"cp1251\" или \"utf-8\"\n"
    "- header: словарь пар ключ-значение заголовка\n"
    "- accounts: словарь номер счёта -> объект Account\n"
    "- documents: список объектов Document\n"
    "- warnings: список кортежей (lineno, message)\n"
    "\n"
    "# Ошибки\n"
    "\n"
    "* `NotStatementError` - Если входные данные не являются выпиской 1C\n"
    "* `EmptyInputError` - Если входные данные пусты\n"
    "* `UnfinishedError` - Если выписка не завершена корректно\n"
    "* `SyntaxError` - Если в выписке синтаксическая ошибка (включая ошибки hooks)\n"
    "* `ParseError` - Для прочих ошибок парсинга";

constexpr const char* kParameterNames[] = {"statement", "hooks"};
constexpr Parameters kParseParameters = {"parse()", kParameterNames, 1};
constexpr Py_ssize_t kMaxReservedHooks = 64;

// The hooks argument as runners, in sequence order, and the header copies they share; false
// with an exception set.
bool convert_hooks(PyObject* hooks, std::vector<SectionHook>& out,
                   std::shared_ptr<HeaderCopies>& header) {
  if (hooks == nullptr || hooks == Py_None) return true;
  // A str is a sequence of one-character strs; taking it as a list of hooks is never meant.
  if (PyUnicode_Check(hooks)) {
    PyErr_SetString(PyExc_TypeError, "argument 'hooks': Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(hooks)) {
    OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(hooks)));
    if (!name) return false;
    PyErr_Format(PyExc_TypeError,
                 "argument 'hooks': '%U' object cannot be converted to 'Sequence'", name.get());
    return false;
  }
  // Only a hint: a sequence may claim any length, so a wild claim must not allocate.
  Py_ssize_t hint = PySequence_Size(hooks);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(static_cast<size_t>(hint < kMaxReservedHooks ? hint : kMaxReservedHooks));
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(hooks));
  if (!iterator) {
    prefix_argument_error("hooks");
    return false;
  }
  header = make_header_copies();
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    out.push_back(make_hook_runner(item.get(), header));
  }
  if (PyErr_Occurred()) {
    prefix_argument_error("hooks");
    return false;
  }
  return true;
}

// The statement's bytes: a bytes object (or a subclass) itself, since nothing can change its
// contents while the parse runs, hooks included; a str by its UTF-8 encoding, made for this call
// (the str's own cached UTF-8 form would stay with the caller's str after the call).
OwnedRef statement_bytes(PyObject* statement) {
  if (PyBytes_Check(statement)) return OwnedRef::borrow(statement);
  if (PyUnicode_Check(statement)) {
    OwnedRef encoded = OwnedRef::steal(PyUnicode_AsUTF8String(statement));
    if (encoded) return encoded;
    // Lone surrogates have no UTF-8 form; such a str is no statement text.
    PyErr_Clear();
  }
  PyErr_SetString(PyExc_TypeError, "statement must be bytes or str");
  return OwnedRef();
}

// The exception of a failed parse: message, class and detail all come from the record's facts.
// The hook runner that abandoned the parse left its own exception pending; it goes out as it is.
PyObject* raise_error_record(const ErrorRecord& record) {
  const ErrorFacts facts = error_facts(record);
  if (facts.error_class == ErrorClass::HostsOwn) return nullptr;
  OwnedRef message = OwnedRef::steal(new_message_text(facts.message));
  if (!message) return nullptr;
  return raise_failure(facts, message.get());
}

// A whole positive number from the environment, or nothing (unset, empty, anything else).
std::optional<size_t> environment_count(const char* name) {
  const char* const text = std::getenv(name);
  if (text == nullptr || *text < '0' || *text > '9') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long count = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || count == 0) return std::nullopt;
  return static_cast<size_t>(count);
}

// Whether this process is a worker that the multiprocessing package started (a Pool's,
// a ProcessPoolExecutor's, a Dask worker's): its siblings take the other cores.
bool started_by_multiprocessing() {
  OwnedRef name = OwnedRef::steal(PyUnicode_FromString("multiprocessing"));
  // A package that was never imported started nothing; NULL without an exception then.
  OwnedRef package = OwnedRef::steal(name ? PyImport_GetModule(name.get()) : nullptr);
  OwnedRef parent = OwnedRef::steal(
      package ? PyObject_CallMethod(package.get(), "parent_process", nullptr) : nullptr);
  // Only a hint: whatever fails here leaves the parse as it would be in any process.
  if (!parent) {
    PyErr_Clear();
    return false;
  }
  return parent.get() != Py_None;
}

PyObject* parse_unguarded(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2] = {nullptr, nullptr};
  if (!bind_vectorcall(kParseParameters, args, static_cast<size_t>(PyVectorcall_NARGS(nargs)),
                       kwnames, bound)) {
    return nullptr;
  }
  // Runners hold references, so they go before the bytes on every path; both are released
  // by their destructors with the interpreter lock held.
  std::vector<SectionHook> hooks;
  std::shared_ptr<HeaderCopies> header_copies;
  if (!convert_hooks(bound[1], hooks, header_copies)) return nullptr;
  // Pinned: the bytes object is held, so its buffer stays while the lock is released.
  OwnedRef bytes = statement_bytes(bound[0]);
  if (!bytes) return nullptr;
  const std::string_view view(PyBytes_AS_STRING(bytes.get()),
                              static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));

  std::optional<Result<Statement, ErrorRecord>> parsed;
  if (hooks.empty()) {
    // Nothing but the core runs until the result is made, so other threads may run meanwhile.
    // Without hooks, Windows-1251 is read in the bytes themselves, so they are all the text
    // there is.
    const ParseOptions options = options_from_environment();
    if (!run_unlocked([&] { parsed.emplace(parse_statement(view, {}, options)); })) {
      return nullptr;
    }
  } else {
    // The decoded text goes before the result objects are built, as it does in parse_statement.
    parsed.emplace([&]() -> Result<Statement, ErrorRecord> {
      // With hooks, Windows-1251 is decoded whole and the bytes let go.
      auto decoded = decode_input(view, Cp1251Decoding::Whole);
      if (!decoded) return fail(std::move(decoded).error());
      // Decoded text that is not a view of the bytes has no more use for them.
      if (!decoded.value().refers_to_input()) bytes = OwnedRef();
      return parse_decoded(decoded.value(), hooks);
    }());
  }
  // The bytes (a str's UTF-8 form, made for this call) are not needed past the core parse.
  bytes = OwnedRef();
  if (!*parsed) return raise_error_record(parsed->error());
  // The hooks' header, when they were called, is the statement's: not converted a second time.
  OwnedRef header =
      OwnedRef::steal(header_copies ? header_dict_made(*header_copies) : nullptr);
  return new_statement_object(std::move(*parsed).value(), header.get());
}

// A hook may call parse again, and each level takes C stack that the interpreter's count of
// Python frames does not see. The interpreter's own count of C calls allows about 800 bytes of
// stack per call (10,000 calls for the usual 8 MB), while a level of parse with a hook takes
// about 8 KB (the section machine most of it; under AddressSanitizer 20 to 25 KB), so a parse
// counts as that many calls and some more: deep re-entry ends in RecursionError, at about
// 700 levels (240 under the sanitizer) and under 6 MB of stack, instead of overflowing it.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kStackWeight = 40;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int kStackWeight = 40;
#else
constexpr int kStackWeight = 12;
#endif
#else
constexpr int kStackWeight = 12;
#endif

// The count above assumes the usual 8 MB stack. A thread started with less (threading.stack_size)
// or a main thread under a low `ulimit -s` runs out of bytes first, so the room itself is checked
// too: enough for one more level of parse with its hook and the Python code between two levels,
// with the rest of the room left to the hook at the deepest level.
// Under the sanitizer a level takes about three times the stack.
constexpr size_t kStackMargin = (kStackWeight > 12 ? 512 : 128) * 1024;

PyObject* parse(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
  if (stack_room() < kStackMargin) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in corvina_py.parse");
    return nullptr;
  }
  for (int entered = 0; entered < kStackWeight; ++entered) {
    if (Py_EnterRecursiveCall(" in corvina_py.parse")) {
      while (entered-- > 0) Py_LeaveRecursiveCall();
      return nullptr;
    }
  }
  PyObject* result = guard([&] { return parse_unguarded(args, nargs, kwnames); });
  for (int entered = 0; entered < kStackWeight; ++entered) Py_LeaveRecursiveCall();
  return result;
}

}  // namespace

// How many threads a parse without hooks may use. CORVINA_THREADS caps them (1: every statement
// is read on the calling thread); without it, a process that multiprocessing started reads on
// one thread, since its siblings are meant to take the other cores, and any other process
// shares its cores among the parses it runs at once. CORVINA_CHUNK_THRESHOLD (bytes) is for
// tests: it lets statements of a few kilobytes be read in pieces.
ParseOptions options_from_environment() {
  ParseOptions options;
  if (const std::optional<size_t> threshold = environment_count("CORVINA_CHUNK_THRESHOLD")) {
    options.chunk_threshold = *threshold;
  }
  if (const std::optional<size_t> threads = environment_count("CORVINA_THREADS")) {
    options.threads = static_cast<unsigned>(std::min<size_t>(*threads, usable_cores()));
  } else if (started_by_multiprocessing()) {
    options.threads = 1;
  }
  return options;
}

PyMethodDef parse_method = {
    "parse", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(parse)),
    METH_FASTCALL | METH_KEYWORDS, kParseDoc};

}  // namespace corvina::py
