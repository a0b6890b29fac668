#!/usr/bin/env python3
# Writes the fuzz targets' seed corpora and the request loop's dictionary from the message
# sequences the tests use. The output is committed; run this again only when the sequences change.
import base64
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
CLOSE = b'{"close":"close"}'
MORE = b'{"more":"more"}'


def b64(data: bytes) -> bytes:
    return base64.b64encode(data)


def raw(body: bytes) -> bytes:
    return struct.pack('<I', len(body)) + body


def frame(text: bytes) -> bytes:
    return raw(b'"' + b64(text) + b'"')


def piece(data: bytes) -> bytes:
    return b'{"part":"' + b64(data) + b'"}'


def last(data: bytes) -> bytes:
    return b'{"last":"' + b64(data) + b'"}'


def conversation(*texts: bytes) -> bytes:
    return b''.join(frame(t) for t in texts)


loop_seeds = {
    'near_closes': conversation(CLOSE + b'\n', b'{ "close":"close"}', CLOSE, b'never read'),
    'zero_length': struct.pack('<I', 0) + frame(b'after'),
    'negative_length': struct.pack('<I', 0x80000000) + b'"QUJD"',
    'end_inside_length': b'\x06\x00',
    'body_cut_short': struct.pack('<I', 100) + b'"QUJD"',
    'huge_claim': struct.pack('<I', 0x7FFFFFFF) + b'"QUJDRA"xx',
    'answers_before_the_end': conversation(b'one', b'two') + struct.pack('<I', 50) + b'"dH',
    'envelopes': raw(b'"YWJj"') + raw(b'YWJj') + raw(b'"YW\nJj"') + raw(b'"YWJj\x00ZGVm"') + raw(b'"{}[]!!"')
                 + raw(b'"' + b64(b'ab\x00cd') + b'"'),
    'null_and_free_order': conversation(b'a', b'b', b'Null', b'c', b'd', CLOSE),
    'reply_kinds': conversation(b'Empty', b'Zero inside', b'Limit', b'Null', CLOSE),
    'split_reply': conversation(b'More than the limit', MORE, MORE, CLOSE),
    'two_chunks': conversation(b'Double', MORE, MORE, MORE, CLOSE),
    'more_with_nothing_pending': conversation(MORE, b'Double', MORE, MORE, MORE, b'Double', b'short', MORE),
    'abandoned_split_reply': conversation(b'More first', b'More second', MORE),
    'split_request': conversation(b'{"part":"true","count":2}', piece(b'abc'), piece(b'def'), last(b'gh')),
    'split_request_no_count': conversation(b'{"part":"true"}', last(b'whole')),
    'split_request_members': conversation(b'{"part":"true","x":[1,{"y":2}],"count":1}', piece(b'12'), last(b'3')),
    'pieces_beyond_count': conversation(b'{"part":"true","count":0}', piece(b'a'), piece(b'b'), piece(b'c'), last(b'd')),
    'odd_counts': conversation(b'{"part":"true","count":-5}', piece(b'a'), last(b'b'),
                               b'{"part":"true","count":9007199254740993}', piece(b'a'), last(b'b'),
                               b'{"part":"true","count":2.0}', piece(b'a'), last(b'b'),
                               b'{"part":"true","count":"3"}', piece(b'a'), last(b'b')),
    'unparsable_start': conversation(b'{"part":"true",', piece(b'a'), last(b'b')),
    'nul_in_piece': conversation(b'{"part":"true","count":1}', piece(b'ab\x00cd'), last(b'ef')),
    'piece_forms': conversation(b'{"part":"true"}', b'{"part":"YW\\nJj\\r\\n"}', b'{"last":"ZA=="}',
                                b'{"part":"true"}', b'{"part": "YWJj" }', b'{"last":\t"ZA"}'),
    'duplicate_keys': conversation(b'{"part":"true"}', b'{"part":"QUFB","part":"QkJC"}', last(b'C')),
    'restart_assembly': conversation(b'{"part":"true"}', piece(b'old'), b'{"part":"true"}', piece(b'new'), last(b'!')),
    'last_alone': conversation(last(b'alone')),
    'spoiled_pieces': conversation(b'{"part":"true"}', b'{"part":"QUFB\\u0000"}', last(b'x'),
                                   b'{"part":"true"}', b'{"part":"QUFB', last(b'x'),
                                   b'{"part":"true"}', b'{"part":12}', last(b'x'),
                                   piece(b'stray'), last(b'x'),
                                   b'{"part":"true"}', piece(b'a'), b'{"last":1}'),
    'split_request_long_reply': conversation(b'{"part":"true","count":1}', piece(b'Dou'), last(b'ble'), MORE, MORE),
}

codec_seeds = {
    'plain': b'YWJj',
    'quoted': b'"YWJj"',
    'line_break': b'YW\nJj',
    'padded': b'QQ==',
    'single_value': b'Q',
    'no_alphabet': b'{}[]!!',
    'url_safe_and_junk': b'-_=\x00\xff YW Jj\r\n',
    'all_bytes': bytes(range(256)),
    'envelope': b'"' + b64(b'{"part":"' + b64(b'abcdef') + b'"}') + b'"',
}


def write_corpus(name, seeds):
    folder = os.path.join(HERE, 'corpus', name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for seed, data in seeds.items():
        with open(os.path.join(folder, seed), 'wb') as out:
            out.write(data)


def dictionary_entry(data: bytes) -> str:
    return '"' + ''.join(chr(c) if 32 <= c < 127 and c not in b'"\\' else '\\x%02X' % c for c in data) + '"'


def write_dictionary():
    # The message texts travel in base64, so their tokens are useful to the fuzzer as base64 too,
    # at each of the three offsets a text can start at within a group.
    tokens = [CLOSE, MORE, b'{"part":"true","count":', b'{"part":"true"}', b'{"part":"', b'{"last":"', b'"}',
              b'\\u0000', b'Null', b'Double', b'Limit', b'More', b'Zero', b'Empty']
    lines = ['# Tokens of the message catalogue, raw and in base64 at each offset.']
    for token in tokens:
        lines.append(dictionary_entry(token))
        for lead in range(3):
            encoded = b64(b'\x00' * lead + token)
            skip = (lead * 4 + 2) // 3  # characters that still hold the leading filler
            lines.append(dictionary_entry(encoded[skip:].rstrip(b'=')))
    lines += [dictionary_entry(b'\x0f\x00\x00\x00'), dictionary_entry(b'\xff\xff\xff\x7f'),
              dictionary_entry(b'\x00\x00\x00\x80')]
    with open(os.path.join(HERE, 'request_loop.dict'), 'w') as out:
        out.write('\n'.join(lines) + '\n')


write_corpus('request_loop', loop_seeds)
write_corpus('codec', codec_seeds)
write_dictionary()
