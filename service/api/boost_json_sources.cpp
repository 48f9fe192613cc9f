// The compiled part of the header-only Boost.JSON, built once here.
#include <boost/json/src.hpp>
