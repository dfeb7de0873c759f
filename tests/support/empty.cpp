// Anchor so the test support library always has one object.
namespace zor_test { int anchor = 0; }
