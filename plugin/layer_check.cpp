// The program that the plug-in's lower layers are linked into alone (see
// CMakeLists.txt): it does nothing; that it links is the check.
int main() { return 0; }
