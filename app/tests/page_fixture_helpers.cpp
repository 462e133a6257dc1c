// The EMF writer of the platform tests, linked into the application's tests
// that need page fixtures.
#include "platform/tests/emf_writer_helpers.cpp"
