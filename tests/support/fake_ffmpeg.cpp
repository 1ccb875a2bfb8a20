// placeholder: replaced by the fake transcoder
int main() { return 0; }
