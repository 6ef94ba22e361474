// Objects made by __new__ alone (Tool.__new__(Tool), copy or pickle of such
// an object, an unpickling that never set the state) hold no C++ object, and
// pybind11 would hand its methods memory nobody initialised. The casters of
// the bound classes below refuse them with a TypeError instead; they must be
// seen wherever the classes are cast (segmenter.h includes this).
#pragma once

#include <pybind11/pybind11.h>

namespace clsgpy {

class Result;
class Tool;

// Whether src, an instance of T (or of a subclass), holds its C++ object.
template <class T>
bool holdsObject(pybind11::handle src) {
    auto* inst = reinterpret_cast<pybind11::detail::instance*>(src.ptr());
    return inst->get_value_and_holder(pybind11::detail::get_type_info(typeid(T)))
        .holder_constructed();
}

template <class T>
class RefusingBareCaster : public pybind11::detail::type_caster_base<T> {
public:
    bool load(pybind11::handle src, bool convert) {
        if (!pybind11::detail::type_caster_base<T>::load(src, convert)) return false;
        if (pybind11::isinstance<T>(src) && !holdsObject<T>(src)) {
            std::string type = Py_TYPE(src.ptr())->tp_name;  // clsg.Tool, as the package names it
            if (type.rfind("clsg._clsg.", 0) == 0) type.erase(4, 6);
            throw pybind11::type_error("this " + type +
                                       " holds nothing: it was made by __new__ alone");
        }
        return true;
    }
};

}  // namespace clsgpy

namespace pybind11::detail {
template <>
class type_caster<clsgpy::Tool> : public clsgpy::RefusingBareCaster<clsgpy::Tool> {};
template <>
class type_caster<clsgpy::Result> : public clsgpy::RefusingBareCaster<clsgpy::Result> {};
}  // namespace pybind11::detail
