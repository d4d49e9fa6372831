// libFuzzer target: Python objects through the conversion a cache's insert
// runs, checked against Python's own json module.
//
// The bytes drive a small stack machine that builds dicts, lists and strs in
// an embedded interpreter: names of every length (runs of one character reach
// hundreds of bytes cheaply) and every byte class, drawn from a pool of key
// objects that later dicts share, nested, in several shapes in turn. One
// record-shape memo lives across all inputs, as a cache's does across its
// inserts. Every written text must equal the reference text (json.dumps with
// sorted keys, compact separators and non-ASCII kept, floats laid out by the
// writer's rules), and read back to a value equal to the one written.
//
// Python's allocations go through malloc so ASan sees them. Leak detection is
// off for this target: the interpreter keeps caches (interned strs, free
// lists) from one input to the next, which is not a leak; the sanitized
// Python suite checks our references instead.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "codec/byte_buffer.hpp"
#include "codec/writer.hpp"
#include "convert/dict_shape_memo.hpp"
#include "convert/json_to_python.hpp"
#include "convert/python_to_json.hpp"
#include "py/owned_ref.hpp"

namespace {

using pelm::OwnedRef;

// The reference writer, in Python: the json module for everything but floats,
// whose layout (plain decimals for exponents -5 to 15, else exponent form with
// a signed exponent) differs from repr's; the digits are repr's, shortest.
constexpr const char kReference[] = R"(
import decimal, json, math

def float_text(x):
    if x == 0:
        return "-0.0" if math.copysign(1.0, x) < 0 else "0.0"
    sign, digits, exponent = decimal.Decimal(repr(abs(x))).normalize().as_tuple()
    d = "".join(map(str, digits))
    e = len(d) - 1 + exponent
    lead = "-" if x < 0 else ""
    if e < -5 or e > 15:
        return lead + d[0] + ("." + d[1:] if len(d) > 1 else "") + "e" + ("-" if e < 0 else "+") + str(abs(e))
    if e < 0:
        return lead + "0." + "0" * (-e - 1) + d
    if len(d) <= e + 1:
        return lead + d + "0" * (e + 1 - len(d)) + ".0"
    return lead + d[:e + 1] + "." + d[e + 1:]

def reference(v):
    if isinstance(v, float):
        return float_text(v)
    if isinstance(v, list):
        return "[" + ",".join(reference(x) for x in v) + "]"
    if isinstance(v, dict):
        return "{" + ",".join(json.dumps(k, ensure_ascii=False) + ":" + reference(x)
                              for k, x in sorted(v.items())) + "}"
    return json.dumps(v, ensure_ascii=False)
)";

PyObject* g_reference = nullptr;
pelm::DictShapeMemo* g_shapes = nullptr;

[[noreturn]] void die(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "convert_fuzz: %s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
  if (PyErr_Occurred()) PyErr_Print();
  std::abort();
}

// A character for one fuzzer byte: every control character, the quote and
// backslash, ASCII, two-, three- and four-byte UTF-8.
Py_UCS4 character(std::uint8_t b) {
  if (b < 0x80) return b;
  if (b < 0xC0) return 0xA0 + (b - 0x80);        // é and its neighbours
  if (b < 0xF0) return 0x3040 + (b - 0xC0) * 7;  // kana and CJK
  return 0x1F600 + (b & 0x0F);                   // emoji, outside the BMP
}

OwnedRef make_name(FuzzedDataProvider& in) {
  std::u32string text;
  const int runs = in.ConsumeIntegralInRange<int>(0, 4);
  for (int r = 0; r < runs; ++r) {
    const Py_UCS4 ch = character(in.ConsumeIntegral<std::uint8_t>());
    // Long runs of one character put names at every length up to ~600 bytes.
    const std::size_t n = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::size_t>(0, 8)
                                           : in.ConsumeIntegralInRange<std::size_t>(0, 300);
    text.append(n, static_cast<char32_t>(ch));
  }
  OwnedRef s = OwnedRef::steal(
      PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!s) die("PyUnicode_FromKindAndData failed");
  return s;
}

OwnedRef make_scalar(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      return OwnedRef::borrow(Py_None);
    case 1:
      return OwnedRef::borrow(in.ConsumeBool() ? Py_True : Py_False);
    case 2:
      return OwnedRef::steal(PyLong_FromLongLong(in.ConsumeIntegral<long long>()));
    case 3:
      return OwnedRef::steal(PyLong_FromUnsignedLongLong(in.ConsumeIntegral<unsigned long long>()));
    case 4: {
      double d = in.ConsumeFloatingPoint<double>();
      std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
      if (in.ConsumeBool()) std::memcpy(&d, &bits, sizeof d);  // every bit pattern, subnormals too
      if (!(d - d == 0)) d = 0.5;                              // no NaN or infinity: they store as null
      return OwnedRef::steal(PyFloat_FromDouble(d));
    }
    default:
      return make_name(in);
  }
}

// Builds one value: scalars and pool names pushed, then lists and dicts made
// of what is on the stack; the last item left is the value.
OwnedRef make_value(FuzzedDataProvider& in, std::vector<OwnedRef>& pool) {
  std::vector<OwnedRef> stack;
  const int steps = in.ConsumeIntegralInRange<int>(1, 40);
  for (int step = 0; step < steps && in.remaining_bytes() > 0; ++step) {
    const int op = in.ConsumeIntegralInRange<int>(0, 5);
    if (op <= 1 || stack.empty()) {
      stack.push_back(make_scalar(in));
    } else if (op == 2 && !pool.empty()) {
      stack.push_back(OwnedRef::borrow(pool[in.ConsumeIntegralInRange<std::size_t>(0, pool.size() - 1)].get()));
    } else if (op == 3) {
      const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, stack.size());
      OwnedRef list = OwnedRef::steal(PyList_New(0));
      if (!list) die("PyList_New failed");
      for (std::size_t i = stack.size() - n; i < stack.size(); ++i) PyList_Append(list.get(), stack[i].get());
      stack.resize(stack.size() - n);
      stack.push_back(std::move(list));
    } else if (!pool.empty()) {
      // A dict of up to 20 members, its names the pool's objects, in drawn order.
      const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, stack.size() < 20 ? stack.size() : 20);
      OwnedRef dict = OwnedRef::steal(PyDict_New());
      if (!dict) die("PyDict_New failed");
      for (std::size_t i = stack.size() - n; i < stack.size(); ++i) {
        PyObject* name = pool[in.ConsumeIntegralInRange<std::size_t>(0, pool.size() - 1)].get();
        if (PyDict_SetItem(dict.get(), name, stack[i].get()) < 0) die("PyDict_SetItem failed");
      }
      stack.resize(stack.size() - n);
      stack.push_back(std::move(dict));
    }
  }
  if (stack.empty()) return OwnedRef::borrow(Py_None);
  return std::move(stack.back());
}

void check(PyObject* value) {
  pelm::codec::ByteBuffer out;
  pelm::codec::JsonWriter writer(out);
  // No value built here nests deep enough to be refused, or holds anything
  // else insert refuses.
  if (pelm::write_python_as_json(value, writer, *g_shapes)) die("a value was refused");
  const std::string_view text(out.data(), out.size());
  OwnedRef expected = OwnedRef::steal(PyObject_CallOneArg(g_reference, value));
  if (!expected) die("the reference writer failed");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(expected.get(), &size);
  if (utf8 == nullptr) die("the reference text has no UTF-8");
  if (text != std::string_view(utf8, static_cast<std::size_t>(size))) {
    die("written text differs from the reference", std::string(text) + "\n---- expected\n" + utf8);
  }
  pelm::Result<OwnedRef> back = pelm::python_from_json(text);
  if (!back.ok()) die("the written text does not read back", text);
  if (PyObject_RichCompareBool(back.value().get(), value, Py_EQ) != 1) die("read back unequal", text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  PyPreConfig pre;
  PyPreConfig_InitPythonConfig(&pre);
  pre.allocator = PYMEM_ALLOCATOR_MALLOC;
  if (PyStatus_Exception(Py_PreInitialize(&pre))) die("Py_PreInitialize failed");
  Py_InitializeEx(0);
  OwnedRef globals = OwnedRef::steal(PyDict_New());
  PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
  OwnedRef ran = OwnedRef::steal(PyRun_String(kReference, Py_file_input, globals.get(), globals.get()));
  if (!ran) die("the reference writer does not compile");
  g_reference = Py_NewRef(PyDict_GetItemString(globals.get(), "reference"));
  g_shapes = new pelm::DictShapeMemo();  // lives for the process, across inputs
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<OwnedRef> pool;
  const int names = in.ConsumeIntegralInRange<int>(1, 12);
  for (int i = 0; i < names; ++i) pool.push_back(make_name(in));
  // Several values in turn, sharing the pool's key objects.
  while (in.remaining_bytes() > 0) {
    OwnedRef value = make_value(in, pool);
    check(value.get());
  }
  return 0;
}
