-- A sample database whose names and addresses are in messy letter case.
CREATE DATABASE IF NOT EXISTS norvale_demo CHARACTER SET utf8mb4;
USE norvale_demo;
DROP TABLE IF EXISTS customers;
DROP TABLE IF EXISTS addresses;
DROP TABLE IF EXISTS shipping_addresses;
DROP TABLE IF EXISTS first_names;
DROP TABLE IF EXISTS last_names;
DROP TABLE IF EXISTS streets;
CREATE TEMPORARY TABLE fn (i INT PRIMARY KEY, v VARCHAR(40));
INSERT INTO fn VALUES (0,'anna'),(1,'JOSÉ'),(2,'zoë'),(3,'mARIE-claire'),(4,'øyvind'),(5,'İLKER'),(6,'seán'),
  (7,'JEAN-luc'),(8,'björk'),(9,'o''brien'),(10,'KATHARINA'),(11,'łukasz'),(12,'dmitrí'),(13,'ΕΛΕΝΗ'),(14,'yuki');
CREATE TEMPORARY TABLE ln (i INT PRIMARY KEY, v VARCHAR(40));
INSERT INTO ln VALUES (0,'o''neil'),(1,'McDONALD'),(2,'van der berg'),(3,'D''ANGELO'),(4,'müller'),(5,'STRAßER'),
  (6,'de la cruz'),(7,'SMITH'),(8,'nguyen'),(9,'ÅSTRÖM'),(10,'kowalski'),(11,'ПЕТРОВ'),(12,'garcía'),(13,'lee');
CREATE TEMPORARY TABLE st (i INT PRIMARY KEY, v VARCHAR(60));
INSERT INTO st VALUES (0,'main street'),(1,'HIGH STREET'),(2,'rue de l''église'),(3,'KÖNIGSALLEE'),(4,'elm ave.'),
  (5,'3RD AVENUE'),(6,'via roma'),(7,'baker st'),(8,'CALLE MAYOR'),(9,'queen''s road');
CREATE TABLE customers (
  full_name VARCHAR(80),
  street VARCHAR(80),
  city VARCHAR(40),
  note TEXT,
  id INT PRIMARY KEY
) CHARACTER SET utf8mb4;
INSERT INTO customers
SELECT IF(MOD(s.seq, 37) = 0, NULL, CONCAT(f.v, ' ', l.v)),
       CONCAT(MOD(s.seq * 7, 200) + 1, ' ', t.v),
       ELT(MOD(s.seq, 6) + 1, 'OSLO', 'new york', 'São Paulo', 'MÜNCHEN', 'saint-étienne', 'LOS angeles'),
       IF(MOD(s.seq, 5) = 0, NULL, ELT(MOD(s.seq, 4) + 1, 'PREFERS EMAIL. CALL AFTER 5.', 'vip customer',
          'Moved house in 2023; new address confirmed.', 'n/a')),
       s.seq
FROM seq_1_to_400 s
JOIN fn f ON f.i = MOD(s.seq, 15)
JOIN ln l ON l.i = MOD(s.seq * 3, 14)
JOIN st t ON t.i = MOD(s.seq * 5, 10);
CREATE TABLE shipping_addresses (line VARCHAR(120), postcode VARCHAR(12), id INT PRIMARY KEY) CHARACTER SET utf8mb4;
INSERT INTO shipping_addresses
SELECT CONCAT(MOD(s.seq, 90) + 1, ' ', t.v), CONCAT('ab', MOD(s.seq * 13, 9000) + 1000), s.seq
FROM seq_1_to_250 s JOIN st t ON t.i = MOD(s.seq, 10);
