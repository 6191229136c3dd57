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
#include "failure_hints.h"
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

// The longest str that is looked up as a file name: longer ones are no path of any system.
constexpr Py_ssize_t kLongestPath = 4096;

// Whether a statement str is the name of an existing file, which people pass for the file
// itself. Only a short single-line text is looked up, so that no statement text, however large,
// reaches the file system. Any failure of the look-up is a no.
bool names_existing_file(PyObject* statement) {
  if (!PyUnicode_Check(statement)) return false;
  const Py_ssize_t length = PyUnicode_GET_LENGTH(statement);
  if (length == 0 || length > kLongestPath) return false;
  for (const Py_UCS4 stop : {U'\n', U'\r', U'\0'}) {
    if (PyUnicode_FindChar(statement, stop, 0, length, 1) != -1) return false;
  }
  OwnedRef path = OwnedRef::steal(PyImport_ImportModule("os.path"));
  OwnedRef found =
      OwnedRef::steal(path ? PyObject_CallMethod(path.get(), "isfile", "O", statement) : nullptr);
  if (!found) {
    PyErr_Clear();
    return false;
  }
  return found.get() == Py_True;
}

// The notes (PEP 678) of a failed parse's exception, each a likely cause and what to do.
std::vector<OwnedRef> failure_notes(PyObject* statement, std::string_view bytes,
                                    const ErrorRecord& record) {
  std::vector<OwnedRef> notes;
  const auto add = [&notes](PyObject* note) {
    if (note != nullptr) {
      notes.push_back(OwnedRef::steal(note));
    } else {
      PyErr_Clear();
    }
  };
  if (names_existing_file(statement)) {
    add(PyUnicode_FromString(
        "This str names an existing file, but a str is read as the statement's text: pass the "
        "file's bytes, open(path, 'rb').read(), or read it with corvina_convert.read(path)."));
  }
  const FailureHints hints = find_failure_hints(bytes, record);
  if (hints.utf8_byte_order_mark) {
    add(PyUnicode_FromString(
        "The input starts with a UTF-8 byte-order mark, which hides the 1CClientBankExchange "
        "marker: remove its first three bytes (EF BB BF), or save the file without the mark."));
  }
  if (hints.utf16_text) {
    add(PyUnicode_FromString(
        "The input looks like UTF-16 text, which is read only when it starts with its "
        "byte-order mark and is well formed: save the statement as Windows-1251 or UTF-8."));
  }
  if (hints.dos_code_page) {
    add(PyUnicode_FromString(
        "The header says Кодировка=DOS: the statement is in the DOS code page (cp866), which "
        "is not read; convert it first, e.g. data.decode('cp866').encode('cp1251')."));
  }
  if (hints.blank_key_line != 0) {
    const std::string field(missing_field_of(record));
    add(PyUnicode_FromFormat(
        "Line %lu writes the key %s with blanks around '=': keys are read as written, blanks "
        "included, so write %s=value without them.",
        static_cast<unsigned long>(hints.blank_key_line), field.c_str(), field.c_str()));
  }
  return notes;
}

// Adds the notes to the exception being raised; a note that cannot be added is left out, and
// the exception goes on as it was.
void add_failure_notes(PyObject* statement, std::string_view bytes, const ErrorRecord& record) {
  OwnedRef raised = OwnedRef::steal(PyErr_GetRaisedException());
  if (!raised) return;
  for (const OwnedRef& note : failure_notes(statement, bytes, record)) {
    OwnedRef added = OwnedRef::steal(PyObject_CallMethod(raised.get(), "add_note", "O",
                                                         note.get()));
    if (!added) PyErr_Clear();
  }
  PyErr_SetRaisedException(raised.release());
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

// Whether this is the interpreter's main thread, the only one that runs signal handlers. A parse
// on any other thread has no signal to look for, and taking the lock there would be worse than
// useless: at exit the interpreter ends a daemon thread that takes it, right where it is.
bool on_main_thread() {
  OwnedRef threading = OwnedRef::steal(PyImport_ImportModule("threading"));
  OwnedRef main = OwnedRef::steal(
      threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
  OwnedRef ident = OwnedRef::steal(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
  const unsigned long main_ident = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return ident && main_ident == PyThread_get_thread_ident();
}

// The stop a parse without hooks asks for now and then (ParseOptions::should_stop): the lock is
// taken for a moment and the signal handlers run; what one raises (KeyboardInterrupt for Ctrl-C)
// stops the parse and is kept to be raised once it has.
struct SignalCheck {
  Relock* relock = nullptr;
  OwnedRef raised;

  static bool poll(void* context) {
    auto& check = *static_cast<SignalCheck*>(context);
    return check.relock->locked([&check] {
      if (PyErr_CheckSignals() == 0) return false;
      check.raised = OwnedRef::steal(PyErr_GetRaisedException());
      return true;
    });
  }
};

bool refuse_small_stack(bool reentry_possible);

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
  if (refuse_small_stack(!hooks.empty() || running_hook())) return nullptr;
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
    ParseOptions options = options_from_environment();
    SignalCheck signals;
    const bool interruptible = view.size() >= kStopPollBytes && on_main_thread();
    const bool done = run_unlocked([&](Relock& relock) {
      if (interruptible) {
        signals.relock = &relock;
        options.should_stop = SignalCheck::poll;
        options.stop_context = &signals;
      }
      parsed.emplace(parse_statement(view, {}, options));
    });
    // What a signal handler raised (KeyboardInterrupt) is what the parse ends with; it stopped
    // the parse, whose Abandoned result has nothing more to say.
    if (signals.raised) {
      if (!done) PyErr_Clear();
      PyErr_SetRaisedException(signals.raised.release());
      return nullptr;
    }
    if (!done) return nullptr;
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
  if (!*parsed) {
    const ErrorRecord& error = parsed->error();
    raise_error_record(error);
    // Bytes let go while hooks ran were a bytes statement's own, which the caller still holds;
    // a str's UTF-8 form is always read in place.
    const bool have_bytes = bytes || PyBytes_Check(bound[0]);
    if (have_bytes && !std::holds_alternative<Abandoned>(error)) {
      add_failure_notes(bound[0], view, error);
    }
    return nullptr;
  }
  // The bytes (a str's UTF-8 form, made for this call) are not needed past the core parse.
  bytes = OwnedRef();
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
// too where re-entry can happen (a parse with hooks, or one called from a hook): enough for one
// more level of parse with its hook and the Python code between two levels, with the rest of
// the room left to the hook at the deepest level. Under the sanitizer a level takes about three
// times the stack.
constexpr size_t kStackMargin = (kStackWeight > 12 ? 512 : 128) * 1024;
// A parse that no hook can re-enter needs only its own frames, deepest in the section machine
// and the builders (measured by painting the stack below a parse's entry, and doubled; about
// three times that under the sanitizer): a thread with a small stack still parses.
constexpr size_t kPlainStackNeed = (kStackWeight > 12 ? 128 : 40) * 1024;

bool refuse_small_stack(bool reentry_possible) {
  if (stack_room() >= (reentry_possible ? kStackMargin : kPlainStackNeed)) return false;
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in corvina_py.parse");
  return true;
}

PyObject* parse(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames) {
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
