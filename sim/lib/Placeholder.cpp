// Placeholder so the library has a source while the simulator is written.
namespace quillet::sim { int placeholder = 0; }
