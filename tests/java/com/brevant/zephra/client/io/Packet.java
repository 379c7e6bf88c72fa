package com.brevant.zephra.client.io;

/** Stand-in for the client's packet class: the library reads and fills GetRawData's array. */
public class Packet {
    private final byte[] m_Data;

    public Packet(int size) { m_Data = new byte[size]; }

    public byte[] GetRawData() { return m_Data; }
}
