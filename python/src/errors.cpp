#include "errors.h"

#include <exception>
#include <new>

#include "clsg/colorseg/errors.h"
#include "clsg/io/errors.h"
#include "clsg/io/image_io.h"
#include "clsg/io/tool_file.h"
#include "clsg/platform/archive.h"
#include "clsg/platform/pel_errors.h"
#include "interrupt.h"

namespace py = pybind11;

namespace clsgpy {

using namespace clsg;

void throwBadImage(const std::string& message) {
    throw kvCompositeColorSegmenterDefs::BadImage(message);
}

void throwBadParams(const std::string& message) {
    throw kvCompositeColorSegmenterDefs::BadParams(message);
}

namespace {

void raise(const char* className, const std::string& message, py::object number = py::none()) {
    py::object cls = py::module_::import("clsg._errors").attr(className);
    // A path in the message may hold bytes that are no UTF-8: shown as \xNN.
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                          "backslashreplace");
    if (!text) throw py::error_already_set();
    py::object exc = cls(py::reinterpret_steal<py::str>(text), number);
    PyErr_SetObject(cls.ptr(), exc.ptr());
}

void translate(std::exception_ptr p) {
    using Defs = kvCompositeColorSegmenterDefs;
    try {
        std::rethrow_exception(p);
    } catch (const Defs::Errors& e) {
        const char* name = "Error";
        if (dynamic_cast<const Defs::BadParams*>(&e))
            name = "BadParamsError";
        else if (dynamic_cast<const Defs::NotTrained*>(&e))
            name = "NotTrainedError";
        else if (dynamic_cast<const Defs::BadColorSpace*>(&e))
            name = "BadColorSpaceError";
        else if (dynamic_cast<const Defs::BadImage*>(&e))
            name = "BadImageError";
        std::string message = e.message();
        if (dynamic_cast<const Defs::TooManyCompositeColors*>(&e)) {
            name = "TooManyLabelsError";
            message = "too many labels: a tool takes at most 254";  // the library names its check
        }
        raise(name, message, py::int_(e.errorNumber()));
    } catch (const kvArchive::UnknownVersion& e) {
        raise("UnknownVersionError", e.message());
    } catch (const kvArchive::Errors& e) {
        raise("CorruptArchiveError", e.message());
    } catch (const kvPel::Errors& e) {
        raise("BadImageError", e.message());
    } catch (const kvAbortRequested& e) {
        raise("AbortedError", e.message());
    } catch (const Interrupted&) {
        PyErr_SetString(PyExc_KeyboardInterrupt, "clsg call interrupted");
    } catch (const ToolFileError& e) {
        // The file layer words its failures; a stored version it does not
        // read and a damaged file keep the archive errors' classes too.
        const std::string text = e.what();
        const char* name = "ToolFileError";
        // Phrases of the messages, not of the path they start with.
        if (text.find(" has tool-file format version ") != std::string::npos)
            name = "ToolFileVersionError";
        else if (text.find(" is a corrupt tool file") != std::string::npos)
            name = "ToolFileCorruptError";
        raise(name, text);
    } catch (const FileError& e) {
        raise("ToolFileError", e.what());
    } catch (const ImageError& e) {
        raise("ImageFileError", e.what());
    } catch (const kvException& e) {
        raise("Error", e.message());
    } catch (const std::bad_alloc&) {
        // Said in words: the C++ name alone tells a Python user nothing.
        PyErr_SetString(PyExc_MemoryError, "out of memory in a clsg call");
    }
}

}  // namespace

void registerErrorTranslator() { py::register_exception_translator(&translate); }

}  // namespace clsgpy
