// Links one layer whole with only the layers below it: an upward call is an undefined symbol.
int main() {
  return 0;
}
