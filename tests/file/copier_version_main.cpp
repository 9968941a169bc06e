// A program that does nothing: the copy engine's tests use copies of it with
// different version resources as installed and offered program files, and
// start it to obtain the id of a process that has ended.
int main() { return 0; }
