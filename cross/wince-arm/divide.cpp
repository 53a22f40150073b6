// The division helpers the ARM EABI compiler calls for / and %. libgcc's
// return with BX, an instruction the StrongARM (ARMv4) lacks, so the
// handheld's program carries its own: restoring shift-and-subtract, which
// needs no divide instruction (ARMv4 has none).
//
// A division by zero gives a quotient of 0 and the dividend as remainder;
// the device program divides only by constants.

namespace {

typedef unsigned int Word;
typedef unsigned long long Pair;

// Quotient in the low word, remainder in the high word: the EABI returns a
// 64-bit value in r0 (quotient) and r1 (remainder), as __aeabi_uidivmod must.
Pair Divide(Word dividend, Word divisor)
{
  if (divisor == 0) {
    return static_cast<Pair>(dividend) << 32;
  }
  Word quotient = 0;
  Word remainder = 0;
  for (int bit = 31; bit >= 0; --bit) {
    remainder = (remainder << 1) | ((dividend >> bit) & 1u);
    if (remainder >= divisor) {
      remainder -= divisor;
      quotient |= 1u << bit;
    }
  }
  return quotient | (static_cast<Pair>(remainder) << 32);
}

Word Magnitude(int value)
{
  return value < 0 ? 0u - static_cast<Word>(value) : static_cast<Word>(value);
}

// Signed from unsigned: the quotient is negative when the signs differ, the
// remainder takes the dividend's sign (C++ truncating division).
Pair DivideSigned(int dividend, int divisor)
{
  Pair both = Divide(Magnitude(dividend), Magnitude(divisor));
  Word quotient = static_cast<Word>(both);
  Word remainder = static_cast<Word>(both >> 32);
  if ((dividend < 0) != (divisor < 0)) {
    quotient = 0u - quotient;
  }
  if (dividend < 0) {
    remainder = 0u - remainder;
  }
  return quotient | (static_cast<Pair>(remainder) << 32);
}

}  // namespace

extern "C" {

Pair __aeabi_uidivmod(Word dividend, Word divisor)
{
  return Divide(dividend, divisor);
}

Word __aeabi_uidiv(Word dividend, Word divisor)
{
  return static_cast<Word>(Divide(dividend, divisor));
}

Pair __aeabi_idivmod(int dividend, int divisor)
{
  return DivideSigned(dividend, divisor);
}

int __aeabi_idiv(int dividend, int divisor)
{
  return static_cast<int>(static_cast<Word>(DivideSigned(dividend, divisor)));
}

}  // extern "C"
