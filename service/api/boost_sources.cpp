// The compiled parts of the header-only Boost libraries the service uses, built once here.
#include <boost/json/src.hpp>
#include <boost/url/src.hpp>
