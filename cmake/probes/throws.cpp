// Must not build as driver code: exceptions.
int ProbeThrows(int value)
{
    if (value < 0)
        throw value;
    return value;
}
