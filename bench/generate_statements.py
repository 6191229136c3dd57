#!/usr/bin/env python3
"""Writes realistic 1CClientBankExchange statements of a chosen size, for benchmarks.

The shape follows real bank exports: a header, one account section per day, and the day's
payment orders, bank orders and payment requests with Cyrillic names, purposes of 50 to 200
characters and identifiers of the right lengths with valid control digits; each day's turnovers
are the sums of its documents, so the statement adds up. A few optional keys are absent or
empty, as in real files; every document names its banks' cities (ПлательщикБанк2,
ПолучательБанк2), about one in nine carries the tax payment keys (ПоказательКБК, ОКАТО, ...),
and some a code, a due date or a payment purpose code, none of which is a field. The output is
fixed by the seed, so figures from different runs compare.

    python3 bench/generate_statements.py --size 100M --encoding cp1251 -o statement.txt
"""

from __future__ import annotations

import argparse
import datetime
import random
import sys

COMPANIES = [
    'ООО "Ромашка"', 'АО "Северный ветер"', 'ИП Иванов Сергей Петрович', 'ООО "ТехноСнаб"',
    'ПАО "Городские сети"', 'ООО "Альфа-Логистик"', 'АО "Уральский завод металлоконструкций"',
    'ООО "Торговый дом Волга"', 'ИП Смирнова Анна Викторовна', 'ООО "СтройИнвест Плюс"',
    'УФК по г. Москве (ИФНС России № 7 по г. Москве)', 'ООО "Кофейня на углу"',
    'АО "Байкальская энергетическая компания"', 'ООО "Медицинский центр Здоровье"',
]
BANKS = [
    ('ПАО СБЕРБАНК', 'г. Москва'), ('АО "АЛЬФА-БАНК"', 'г. Москва'),
    ('БАНК ВТБ (ПАО)', 'г. Санкт-Петербург'), ('АО "ТИНЬКОФФ БАНК"', 'г. Москва'),
    ('ФИЛИАЛ "ЕКАТЕРИНБУРГСКИЙ" АО "АЛЬФА-БАНК"', 'г. Екатеринбург'),
]
PURPOSES = [
    'Оплата по счету № {n} от {d} за поставку товара', 'Оплата по договору № {n}/{y} от {d}',
    'Возврат излишне перечисленных денежных средств по счету № {n}',
    'Арендная плата за {m} {y} г. по договору аренды нежилого помещения № {n}',
    'Заработная плата за {m} {y} г. согласно реестру № {n}',
    'Налог на доходы физических лиц за {m} {y} г.',
    'Оплата услуг связи по счету № {n} от {d}', 'Комиссия за ведение счета за {m} {y} г.',
]
TAILS = [
    ' В т.ч. НДС 20% - {vat} руб.', ' НДС не облагается', ' Сумма {amount} без налога (НДС)',
]
MONTHS = ['январь', 'февраль', 'март', 'апрель', 'май', 'июнь', 'июль', 'август', 'сентябрь',
          'октябрь', 'ноябрь', 'декабрь']
KINDS = ['Платежное поручение'] * 8 + ['Банковский ордер', 'Платежное требование']


def digits(rng: random.Random, n: int) -> str:
    return ''.join(rng.choice('0123456789') for _ in range(n))


def inn_digit(inn: str, weights: tuple[int, ...]) -> str:
    return str(sum(int(d) * w for d, w in zip(inn, weights)) % 11 % 10)


def with_inn_control(inn: str) -> str:
    """The INN with its control digits in place of its last random ones."""
    if len(inn) == 10:
        return inn[:9] + inn_digit(inn, (2, 4, 10, 3, 5, 9, 4, 6, 8))
    inn = inn[:10] + inn_digit(inn, (7, 2, 4, 10, 3, 5, 9, 4, 6, 8))
    return inn + inn_digit(inn, (3, 7, 2, 4, 10, 3, 5, 9, 4, 6, 8))


def with_account_key(account: str, bank_part: str) -> str:
    """The account with its ninth digit the Bank of Russia key computed over the bank's part
    (three digits of the BIC) and the account."""
    weights = (7, 1, 3) * 8
    rest = sum(int(d) * w for i, (d, w) in enumerate(zip(bank_part + account, weights))
               if i != 11)
    key = (-rest * 7) % 10  # the key is weighed 3, and 7 * 3 = 1 modulo 10
    return account[:8] + str(key) + account[9:]


def party(rng: random.Random) -> dict[str, str]:
    bank, city = rng.choice(BANKS)
    name = rng.choice(COMPANIES)
    individual = name.startswith('ИП')
    # Drawn in this order whatever is then made of them, so a seed still gives the same file
    # apart from the control digits.
    inn = digits(rng, 12 if individual else 10)
    kpp = '' if individual else digits(rng, 9)
    account = ('40802' if individual else '40702') + '810' + digits(rng, 12)
    bic = '04' + digits(rng, 7)
    cor = '30101810' + digits(rng, 12)
    return {
        'name': name,
        'inn': with_inn_control(inn),
        'kpp': kpp,
        # An account at a division of the Bank of Russia (a BIC ending in 000 to 002) is keyed
        # as a correspondent account is.
        'account': with_account_key(account, '0' + bic[4:6] if bic[6:9] in ('000', '001', '002')
                                    else bic[6:9]),
        'bank': bank,
        'city': city,
        'bic': bic,
        'cor': with_account_key(cor, '0' + bic[4:6]),
    }


def rubles(kopecks: int) -> str:
    sign = '-' if kopecks < 0 else ''
    return f'{sign}{abs(kopecks) // 100}.{abs(kopecks) % 100:02d}'


def money(rng: random.Random) -> tuple[int, str]:
    kopecks = rng.choice([rng.randint(100, 99_999), rng.randint(100_000, 99_999_999),
                          rng.randint(100_000_000, 9_999_999_999)])
    return kopecks, f'{kopecks // 100}.{kopecks % 100:02d}'


def purpose(rng: random.Random, day: datetime.date) -> str:
    kopecks, amount = money(rng)
    text = rng.choice(PURPOSES).format(
        n=rng.randint(1, 99999), d=day.strftime('%d.%m.%Y'), y=day.year,
        m=MONTHS[day.month - 1])
    text += rng.choice(TAILS).format(vat=f'{kopecks // 600}.{kopecks // 6 % 100:02d}',
                                     amount=amount)
    while len(text) < 50:
        text += ' ' + rng.choice(PURPOSES).format(n=rng.randint(1, 999), d='', y='', m='')
    return text[:200]


def tax_keys(rng: random.Random, day: datetime.date) -> list[str]:
    """The keys a tax or customs payment carries besides the fields, with the values banks
    write: codes and dates, or 0 where a key does not apply."""
    period = rng.choice([f'МС.{day.month:02d}.{day.year}', f'КВ.0{(day.month + 2) // 3}.{day.year}',
                         f'ГД.00.{day.year}', '0'])
    return [f'СтатусСоставителя={rng.choice(["01", "02", "08", "13"])}',
            f'ПоказательКБК={rng.choice(["18210102010011000110", "18210301000011000110", "0"])}',
            f'ОКАТО={rng.choice(["45383000", "60737000", "25736000", digits(rng, 11)])}',
            f'ПоказательОснования={rng.choice(["ТП", "ЗД", "0"])}',
            f'ПоказательПериода={period}',
            f'ПоказательНомера={rng.choice(["0", digits(rng, 6)])}',
            f'ПоказательДаты={rng.choice(["0", day.strftime("%d.%m.%Y")])}',
            f'ПоказательТипа={rng.choice(["", "0"])}']


def document(rng: random.Random, day: datetime.date, number: int,
             holder: dict[str, str]) -> tuple[str, int]:
    """The document's text and what it moves on the holder's account: plus paid in, minus
    paid out."""
    payer, payee = party(rng), party(rng)
    if rng.random() < 0.5:
        payer = holder
    else:
        payee = holder
    kopecks, amount = money(rng)
    date = day.strftime('%d.%m.%Y')
    lines = [
        f'СекцияДокумент={rng.choice(KINDS)}',
        f'Номер={number}',
        f'Дата={date}',
        f'Сумма={amount}',
        f'ПлательщикСчет={payer["account"]}',
        f'ДатаСписано={date if payer is holder else ""}',
        f'Плательщик=ИНН {payer["inn"]} {payer["name"]}',
        f'ПлательщикИНН={payer["inn"]}',
        f'Плательщик1={payer["name"]}',
        f'ПлательщикРасчСчет={payer["account"]}',
        f'ПлательщикБанк1={payer["bank"]}',
        f'ПлательщикБанк2={payer["city"]}',
        f'ПлательщикБИК={payer["bic"]}',
        f'ПлательщикКорсчет={payer["cor"]}',
        f'ПолучательСчет={payee["account"]}',
        f'ДатаПоступило={date if payee is holder else ""}',
        f'Получатель=ИНН {payee["inn"]} {payee["name"]}',
        f'ПолучательИНН={payee["inn"]}',
        f'Получатель1={payee["name"]}',
        f'ПолучательРасчСчет={payee["account"]}',
        f'ПолучательБанк1={payee["bank"]}',
        f'ПолучательБанк2={payee["city"]}',
        f'ПолучательБИК={payee["bic"]}',
        f'ПолучательКорсчет={payee["cor"]}',
        'ВидОплаты=01',
        f'Очередность={rng.choice("5555553")}',
        f'НазначениеПлатежа={purpose(rng, day)}',
    ]
    if payer['kpp'] and rng.random() < 0.9:
        lines.append(f'ПлательщикКПП={payer["kpp"]}')
    if payee['kpp']:
        lines.append(f'ПолучательКПП={payee["kpp"]}')
    if rng.random() < 0.11:
        lines += tax_keys(rng, day)
    if rng.random() < 0.45:
        lines.append(f'Код={rng.choice(["0", "", digits(rng, 20)])}')
    if rng.random() < 0.4:
        due = day + datetime.timedelta(days=rng.randint(0, 30))
        lines.append(f'СрокПлатежа={rng.choice([due.strftime("%d.%m.%Y"), ""])}')
    if rng.random() < 0.25:
        lines.append(f'КодНазПлатежа={rng.choice(["", "", "1", "2", "5"])}')
    lines.append('КонецДокумента')
    return '\r\n'.join(lines) + '\r\n', kopecks if payee is holder else -kopecks


def generate(size: int, seed: int, encoding: str) -> str:
    rng = random.Random(seed)
    holder = party(rng)
    day = datetime.date(2024, 1, 9)
    header = '\r\n'.join([
        '1CClientBankExchange', 'ВерсияФормата=1.03',
        f'Кодировка={"Windows" if encoding == "cp1251" else "UTF-8"}',
        'Отправитель=Бухгалтерия предприятия, редакция 3.0', 'Получатель=',
        f'ДатаСоздания={day.strftime("%d.%m.%Y")}', 'ВремяСоздания=10:15:00',
        f'ДатаНачала={day.strftime("%d.%m.%Y")}', f'ДатаКонца={day.strftime("%d.%m.%Y")}',
        f'РасчСчет={holder["account"]}', 'Документ=Платежное поручение',
    ]) + '\r\n'
    parts = [header]
    total = len(header.encode(encoding))
    balance = rng.randint(10_000_00, 10_000_000_00)
    number = 1
    while total < size:
        date = day.strftime('%d.%m.%Y')
        # No longer used: the day's turnovers are its documents' sums, so the statement adds
        # up. Still drawn, so the documents stay those of the same seed.
        rng.randint(0, 5_000_000_00), rng.randint(0, 5_000_000_00)
        documents = []
        income = expense = 0
        for _ in range(rng.randint(5, 40)):
            text, moved = document(rng, day, number, holder)
            number += 1
            documents.append(text)
            total += len(text.encode(encoding))
            if moved > 0:
                income += moved
            else:
                expense -= moved
            if total >= size:
                break
        end = balance + income - expense
        section = '\r\n'.join([
            'СекцияРасчСчет', f'ДатаНачала={date}', f'ДатаКонца={date}',
            f'РасчСчет={holder["account"]}', f'НачальныйОстаток={rubles(balance)}',
            f'ВсегоПоступило={rubles(income)}', f'ВсегоСписано={rubles(expense)}',
            f'КонечныйОстаток={rubles(end)}', 'КонецРасчСчет']) + '\r\n'
        parts.append(section)
        parts.extend(documents)
        total += len(section.encode(encoding))
        balance = end
        day += datetime.timedelta(days=1)
    parts.append('КонецФайла\r\n')
    return ''.join(parts)


def parse_size(text: str) -> int:
    units = {'K': 1 << 10, 'M': 1 << 20, 'G': 1 << 30}
    if text[-1:].upper() in units:
        return int(float(text[:-1]) * units[text[-1].upper()])
    return int(text)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--size', default='1M', help='approximate size: bytes, or 10K, 100M, 1G')
    parser.add_argument('--encoding', choices=['cp1251', 'utf-8'], default='cp1251')
    parser.add_argument('--seed', type=int, default=1)
    parser.add_argument('-o', '--output', help='file to write (default: standard output)')
    args = parser.parse_args()
    data = generate(parse_size(args.size), args.seed, args.encoding).encode(args.encoding)
    if args.output:
        with open(args.output, 'wb') as out:
            out.write(data)
    else:
        sys.stdout.buffer.write(data)


if __name__ == '__main__':
    main()
