/* A do-nothing program; the tests only read its version resource. */
int main(void) { return 0; }
