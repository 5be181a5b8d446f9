/* Freestanding test program for the executable disassemblers. It has direct calls, conditional
 * and unconditional jumps, a switch, tables of function pointers (absolute pointers: relocated
 * in position-independent and PE builds) and data. No libc and no division, so that it links
 * for every target without a runtime; it is never run.
 *
 * VERSION 2 differs from VERSION 1 the way a small release does: one function is added,
 * constants change, and a block of functions moves to another place in the file. */

#ifndef VERSION
#define VERSION 1
#endif

#if VERSION == 1
#define SEED 17
#define ROUNDS 40
#else
#define SEED 23
#define ROUNDS 56
#endif

typedef int (*op_fn)(int, int);

__attribute__((noinline)) static int op_add(int a, int b) { return a + b; }
__attribute__((noinline)) static int op_sub(int a, int b) { return a - b; }
__attribute__((noinline)) static int op_xor(int a, int b) { return (a ^ b) + 3; }

#if VERSION == 1
/* Moved further down in version 2. */
__attribute__((noinline)) static int op_mix(int a, int b)
{
    int r = a;
    for (int i = 0; i < (b & 7); ++i)
        r = (r << 3) ^ (r >> 5) ^ i;
    return r;
}

__attribute__((noinline)) static int op_rot(int a, int b)
{
    unsigned u = (unsigned)a;
    unsigned s = (unsigned)b & 31u;
    return (int)((u << s) | (u >> ((32u - s) & 31u)));
}
#endif

__attribute__((noinline)) static int op_min(int a, int b) { return a < b ? a : b; }
__attribute__((noinline)) static int op_max(int a, int b) { return a > b ? a : b; }

#if VERSION >= 2
/* New in version 2. */
__attribute__((noinline)) static int op_clamp(int a, int b)
{
    if (a < -b)
        return -b;
    if (a > b)
        return b;
    return a * 2 + 1;
}
#endif

int table[32] = {3, 1, 4, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3,
                 2, 3, 8, 4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, SEED};

#if VERSION >= 2
__attribute__((noinline)) static int op_mix(int a, int b)
{
    int r = a;
    for (int i = 0; i < (b & 7); ++i)
        r = (r << 3) ^ (r >> 5) ^ i;
    return r;
}

__attribute__((noinline)) static int op_rot(int a, int b)
{
    unsigned u = (unsigned)a;
    unsigned s = (unsigned)b & 31u;
    return (int)((u << s) | (u >> ((32u - s) & 31u)));
}
#endif

/* Pointers in read-only data and in writable data: both need relocations when the image moves. */
static op_fn const ops[] = {op_add, op_sub, op_xor, op_mix, op_rot, op_min, op_max,
#if VERSION >= 2
                            op_clamp,
#endif
};
op_fn volatile current_op = op_mix;
int *volatile table_ptr = &table[4];

__attribute__((noinline)) static int classify(int v)
{
    switch (v & 15) {
    case 0: return op_add(v, 1);
    case 1: return op_sub(v, 2);
    case 2: return op_xor(v, table[2]);
    case 3: return op_mix(v, 5);
    case 4: return op_rot(v, 7);
    case 5: return op_min(v, table[5]);
    case 6: return op_max(v, 100);
#if VERSION >= 2
    case 7: return op_clamp(v, 77);
#endif
    case 9: return v * 3;
    default: return v + 11;
    }
}

__attribute__((noinline)) int run(int n)
{
    int acc = SEED;
    const int count = (int)(sizeof(ops) / sizeof(ops[0]));
    int k = 0;
    for (int i = 0; i < n; ++i) {
        acc = ops[k](acc, table[i & 31]);
        if (acc > 100000 || acc < -100000)
            acc = classify(acc);
        else
            acc += current_op(i, acc);
        if (++k == count)
            k = 0;
        table_ptr[i & 7] ^= acc;
    }
    return acc;
}

volatile int result;

void entry(void)
{
    result = run(ROUNDS);
    for (;;) {
    }
}
