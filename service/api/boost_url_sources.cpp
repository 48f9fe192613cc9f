// The compiled part of the header-only Boost.URL, built once here.
#include <boost/url/src.hpp>
